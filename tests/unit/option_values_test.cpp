// The grammar of the options' values, taken and refused, in one table:
// durations with their unit, counts, and reset sequences, each step shown
// as D1/D0 (DTR asserted or cleared), R1/R0, or W and its milliseconds.
#include <gtest/gtest.h>

#include <string>

#include "../../program/option_values.h"

static std::string steps_of(const line_sequence &sequence) {
  std::string text;
  for (int i = 0; i < sequence.count; i++) {
    const line_step &step = sequence.steps[i];
    text += text.empty() ? "" : " ";
    if (step.dtr != LINE_KEPT)
      text += "D" + std::to_string(step.dtr);
    if (step.rts != LINE_KEPT)
      text += "R" + std::to_string(step.rts);
    if (step.dtr == LINE_KEPT && step.rts == LINE_KEPT)
      text += "W" + std::to_string(step.wait_ms);
  }
  return text;
}

// `grammar` is what the row is read by; `taken` what it gave, or "" for a
// refusal.
TEST(OptionValues, TakenAndRefused) {
  struct {
    char grammar; // d(uration), c(ount), r(eset)
    const char *text, *taken;
  } rows[] = {
      {'d', "250ms", "250"},
      {'d', "2s", "2000"},
      {'d', "0", "0"},
      {'d', "2", ""},
      {'d', "1.5s", ""},
      {'d', "ms", ""},
      {'d', "4294968s", ""},
      {'d', "250MS", "250"},
      {'d', "2S", "2000"},
      {'c', "0", "0"},
      {'c', "12", "12"},
      {'c', "-1", ""},
      {'c', "1000001", ""},
      {'r', "dtr,100ms,!dtr", "D1 W100 D0 |"},
      {'r', "!dtr+rts,100ms,dtr+!rts,50ms,!dtr:!dtr+rts,100ms,!rts",
       "D0R1 W100 D1R0 W50 D0 | D0R1 W100 R0"},
      {'r', "RTS:!Rts", "R1 | R0"},
      {'r', "", ""},
      {'r', ":dtr", ""},
      {'r', "dtr:", ""},
      {'r', "dtr,,rts", ""},
      {'r', "dtr+dtr", ""},
      {'r', "dsr", ""},
      {'r', "dtr+rts+!dtr", ""},
      {'r', "dtr,100", ""},
      {'r', "touch", "T |"},
      {'r', "Touch:dtr,20ms,!dtr", "T | D1 W20 D0"},
      {'r', "touch,dtr", ""},
      {'r', "dtr:touch", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.text);
    DWORD ms = 0;
    int count = 0;
    line_sequence entry = {}, exit = {};
    bool touch = false;
    const char *refused = row.grammar == 'd'   ? read_duration(row.text, &ms)
                          : row.grammar == 'c' ? read_count(row.text, &count)
                                               : read_reset(row.text, &entry, &exit, &touch);
    std::string taken = row.grammar == 'd'   ? std::to_string(ms)
                        : row.grammar == 'c' ? std::to_string(count)
                                             : (touch ? "T" : "") + steps_of(entry) + " |" +
                                                   (exit.count ? " " + steps_of(exit) : "");
    EXPECT_EQ(*row.taken == '\0', refused != nullptr);
    if (refused == nullptr) {
      EXPECT_EQ(row.taken, taken);
    }
  }
  line_sequence entry, exit;
  std::string many(33 * 4 - 1, ',');
  for (size_t i = 0; i < many.size(); i += 4)
    many.replace(i, 3, "dtr");
  bool touch = false;
  EXPECT_NE(nullptr, read_reset(many.c_str(), &entry, &exit, &touch)) << "33 steps are too many";
  DWORD ms = 0;
  EXPECT_STREQ("too long (49 days at the most)", read_duration("99999999999ms", &ms));
}
