// The station's events, queued for its loop.
#include "events.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

static std::mutex events_lock;
static std::condition_variable event_came;
static std::deque<station_event> events;

void tell_station(const station_event &event) {
  {
    std::lock_guard<std::mutex> lock(events_lock);
    events.push_back(event);
  }
  event_came.notify_one();
}

bool next_station_event(station_event *event, int wait_ms) {
  std::unique_lock<std::mutex> lock(events_lock);
  auto there = [] { return !events.empty(); };
  if (wait_ms < 0)
    event_came.wait(lock, there);
  else if (!event_came.wait_for(lock, std::chrono::milliseconds(wait_ms), there))
    return false;
  *event = events.front();
  events.pop_front();
  return true;
}
