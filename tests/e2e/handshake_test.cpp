// The handshake: 0xAA out, K back, five attempts of two seconds each.
#include "harness.h"

using namespace e2e;
using testbed::SILENT;
using testbed::target_script;

static target_script answering(std::vector<int> replies) {
  target_script script;
  script.sync_replies = replies;
  return script;
}

class Handshake : public LoadTest {
protected:
  void SetUp() override {
    LoadTest::SetUp();
    write_file("empty.bin", "");
  }
};

TEST_P(Handshake, AnsweredAtOnceSendsOneRequestAndPrintsNothing) {
  load_result load_run = load(target_script{}, {"empty.bin"});
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_EQ("\xAA", load_run.target.received);
}

// At a terminal, each attempt past the first says so, and the line is gone
// once the target has answered. In a window narrower than the whole line
// its advice is left out, so that it never wraps.
TEST_P(Handshake, AnsweredAtTheFifthRequestSucceeds) {
  error_on_terminal_ = true;
  terminal_.columns = 72;
  load_result load_run = load(answering({SILENT, SILENT, SILENT, SILENT, 'K'}), {"empty.bin"});
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_EQ(std::string(5, '\xAA'), load_run.target.received);
  EXPECT_GT(load_run.run.seconds, 7.5) << "four requests went unanswered for 2 s each";
  std::string drawn = drawn_text(load_run.run.err);
  for (const char *attempt :
       {"attempt 2 of 5", "attempt 3 of 5", "attempt 4 of 5", "attempt 5 of 5"})
    EXPECT_THAT(drawn, testing::HasSubstr(attempt));
  EXPECT_THAT(drawn, testing::Not(testing::HasSubstr("boot loader")));
}

TEST_P(Handshake, ASilentTargetIsGivenUpAfterAboutTenSeconds) {
  load_result load_run = load(answering({SILENT, SILENT, SILENT, SILENT, SILENT}), {"empty.bin"});
  expect_failure(load_run.run, "synchronization failed\n");
  EXPECT_EQ(std::string(5, '\xAA'), load_run.target.received);
  EXPECT_GT(load_run.run.seconds, 9.5);
  EXPECT_LT(load_run.run.seconds, 14.0);
}

TEST_P(Handshake, WrongRepliesUseUpTheAttemptsQuickly) {
  load_result load_run = load(answering({'k', 0, 0xAA, 'X', 0x4A}), {"empty.bin"});
  expect_failure(load_run.run, "synchronization failed\n");
  EXPECT_EQ(5, load_run.target.sync_requests);
  EXPECT_LT(load_run.run.seconds, 5.0) << "no attempt waited for its time-out";
}

TEST_P(Handshake, AReplyAlreadyWaitingIsTakenAsTheFirstAnswer) {
  target_script script = answering({SILENT, SILENT, SILENT, SILENT, SILENT});
  script.preload = "K";
  script.image_length = 2;
  write_file("image.bin", "hi");
  load_result load_run = load(script, {"image.bin"});
  expect_success(load_run.run, "program loaded, 2 bytes\n");
  EXPECT_EQ(1, load_run.target.sync_requests);
}

TEST_P(Handshake, BytesWaitingUseUpOneAttemptEach) {
  target_script script = answering({SILENT, SILENT, SILENT, 'K'});
  script.preload = "xyz";
  load_result load_run = load(script, {"empty.bin"});
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_EQ(4, load_run.target.sync_requests);
  EXPECT_LT(load_run.run.seconds, 5.0) << "three waiting bytes answered three requests at once";
}

// More attempts than five, each as long as asked; the environment gives
// defaults, and the command line wins over them.
TEST_P(Handshake, AttemptsAndTheirTimeAreOptions) {
  target_script late = answering({SILENT, SILENT, SILENT, SILENT, SILENT, SILENT, 'K'});
  environment_ = {"TARVICK_ATTEMPTS=2", "TARVICK_ATTEMPT_TIME=300ms"};
  load_result given_up = load(late, {"empty.bin"});
  expect_failure(given_up.run, "synchronization failed\n");
  EXPECT_EQ(2, given_up.target.sync_requests);
  EXPECT_LT(given_up.run.seconds, 2.0) << "two attempts of 300 ms";
  options_ = {"--attempts=7"};
  load_result answered = load(late, {"empty.bin"});
  expect_success(answered.run, "program loaded, 0 bytes\n");
  EXPECT_EQ(7, answered.target.sync_requests);
}

ON_BOTH_PLATFORMS(Handshake);
