// The end of a helper thread, waited for a moment at the most.
#include "helper_end.h"

bool end_helper_within(std::thread *helper, std::unique_lock<std::mutex> &lock,
                       std::condition_variable &told, const bool &ended,
                       std::chrono::milliseconds limit) {
  bool done = told.wait_for(lock, limit, [&] { return ended; });
  lock.unlock();
  if (done)
    helper->join();
  else
    helper->detach();
  return done;
}
