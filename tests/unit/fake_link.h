// A sound server in memory for the pulse face's Server: the test says what the server tells
// (devices, defaults, streams, removals, answers) and reads what was sent; time moves only when
// the test moves it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pulse/link.h"
#include "platform/pulse/server.h"

namespace pulse_fake {

using pulse::Facility;

// Heap allocations counted while `counting` is on (by the operator new of a test that wants
// them): the fake's own bookkeeping is not the Server's.
inline thread_local bool counting = false;
inline thread_local int allocations = 0;

class NotCounted {
 public:
  NotCounted() : was_(counting) { counting = false; }
  ~NotCounted() { counting = was_; }

 private:
  bool was_;
};

struct Sent {
  Facility facility;
  uint32_t index;
  std::vector<uint32_t> volume;
  uint64_t ticket;
};

inline pa_cvolume Volume(std::vector<uint32_t> values) {
  pa_cvolume volume;
  volume.channels = static_cast<uint8_t>(values.size());
  for (size_t i = 0; i < values.size(); ++i) volume.values[i] = values[i];
  return volume;
}

inline std::vector<uint32_t> Values(const pa_cvolume& volume) {
  return std::vector<uint32_t>(volume.values, volume.values + volume.channels);
}

inline pa_channel_map Map(int channels) {
  pa_channel_map map;
  if (channels == 4) {
    pa_channel_map_parse(&map, "front-left,front-right,rear-left,rear-right");
  } else {
    pa_channel_map_init_auto(&map, static_cast<unsigned>(channels), PA_CHANNEL_MAP_DEFAULT);
  }
  return map;
}

class FakeLink final : public pulse::Link {
 public:
  void Lock() override { lock_.lock(); }
  void Unlock() override { lock_.unlock(); }
  bool Reach(const pulse::Locked&, bool) override { return online; }
  bool Online(const pulse::Locked&) const override { return online; }
  bool SetVolume(const pulse::Locked&, Facility facility, uint32_t index, const pa_cvolume& volume,
                 uint64_t ticket) override {
    if (!online) return false;
    NotCounted fakes;
    sent.push_back(Sent{facility, index, Values(volume), ticket});
    unanswered.push_back(sent.back());
    return true;
  }
  void WakeAt(const pulse::Locked&, int64_t atNs) override { wakeAtNs = atNs; }
  int64_t Now() const override { return nowNs; }
  void LetWritesLand(const pulse::Locked&, int64_t) override {}
  void End() override {}

  // What the server tells, each under the lock as the loop's thread tells it.
  void Device(bool isSink, uint32_t index, const std::string& name, std::vector<uint32_t> volume,
              const pa_channel_map& map) {
    devices_[{isSink, index}] =
        pulse::Device{isSink, index, name, name + " device", Volume(volume), map};
    Tell([&](const pulse::Locked& held) { server_->StoreDevice(held, devices_[{isSink, index}]); });
  }
  void Sink(uint32_t index, const std::string& name, std::vector<uint32_t> volume) {
    Device(true, index, name, volume, Map(static_cast<int>(volume.size())));
  }
  void Defaults(const char* sink, const char* source) {
    Tell([&](const pulse::Locked& held) { server_->StoreDefaults(held, sink, source); });
  }
  void Stream(uint32_t index, const std::string& application, std::vector<uint32_t> volume) {
    Tell([&](const pulse::Locked& held) {
      server_->StoreStream(held, index, application, Volume(volume));
    });
  }
  void Remove(Facility facility, uint32_t index) {
    if (facility != Facility::STREAM) devices_.erase({facility == Facility::SINK, index});
    Tell([&](const pulse::Locked& held) { server_->Forget(held, facility, index); });
  }
  // Answers the oldest write unanswered: taken, a device's change event follows with it, as a
  // server's does; refused, nothing changes.
  void Answer(bool taken = true) {
    const Sent write = unanswered.front();
    unanswered.pop_front();
    Tell([&](const pulse::Locked& held) { server_->Written(held, write.ticket, taken); });
    const auto device = devices_.find({write.facility == Facility::SINK, write.index});
    if (!taken || write.facility == Facility::STREAM || device == devices_.end()) return;
    device->second.volume = Volume(write.volume);
    Tell([&](const pulse::Locked& held) { server_->StoreDevice(held, device->second); });
  }
  void AnswerAll() {
    while (!unanswered.empty()) Answer();
  }
  // Time goes on; the server's timer rings when it is due.
  void Advance(int64_t ns) {
    nowNs += ns;
    if (wakeAtNs > nowNs) return;
    wakeAtNs = INT64_MAX;
    Tell([&](const pulse::Locked& held) { server_->SendDue(held); });
  }

  bool online = true;
  int64_t nowNs = 1000000000;
  int64_t wakeAtNs = INT64_MAX;
  std::vector<Sent> sent;
  std::deque<Sent> unanswered;

 private:
  template <typename Telling>
  void Tell(Telling telling) {
    std::lock_guard<std::mutex> held(lock_);
    telling(Held());
  }

  std::mutex lock_;
  std::map<std::pair<bool, uint32_t>, pulse::Device> devices_;
};

}  // namespace pulse_fake
