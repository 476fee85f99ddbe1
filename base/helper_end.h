// The end of a helper thread that writes where a reader may take nothing
// (a terminal stopped by Ctrl-S, a pipe nobody reads): the way out waits
// for it a moment, never longer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// With `lock` held and the helper asked to end: waits up to `limit` for
// `told` to find `ended`, then joins the helper, or leaves it behind where
// it has not ended. Gives whether it ended.
bool end_helper_within(std::thread *helper, std::unique_lock<std::mutex> &lock,
                       std::condition_variable &told, const bool &ended,
                       std::chrono::milliseconds limit);
