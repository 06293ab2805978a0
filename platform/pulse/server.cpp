// The Server's side that the link drives: what the server tells goes into the cache, and from
// there to the rules kept for each line (kept.h) and to the writes on their way (writes.h).
#include "platform/pulse/server.h"

namespace pulse {
namespace {

// Open handles count up from here, far above any device index, so a handle passed where an
// index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x50410000;

}  // namespace

Server::Server(std::unique_ptr<Link> link) : link_(std::move(link)), state_(*link_) {
  Hold held(*link_);
  state_.With(held).nextHandle = FIRST_HANDLE;
  link_->Attach(this);
}

Server::~Server() { End(); }

void Server::End() { link_->End(); }

void Server::LetWritesLand(int64_t deadlineNs) {
  Hold held(*link_);
  link_->LetWritesLand(held, deadlineNs);
}

void Server::StoreDevice(const Locked& locked, Device device) {
  State& s = state_.With(locked);
  const int64_t now = link_->Now();
  s.kept.DeviceStored(locked, s.cache.Store(std::move(device)), now);
  s.kept.DefaultsStored(locked, now);
}

void Server::StoreDefaults(const Locked& locked, const char* sink, const char* source) {
  State& s = state_.With(locked);
  s.cache.StoreDefaults(sink, source);
  s.kept.DefaultsStored(locked, link_->Now());
}

void Server::StoreStream(const Locked& locked, uint32_t index, const std::string& application,
                         const pa_cvolume& volume) {
  State& s = state_.With(locked);
  const int64_t now = link_->Now();
  if (const Stream* stream = s.cache.StoreStream(index, application, volume, now)) {
    s.kept.StreamStored(locked, *stream, now);
  }
}

void Server::Forget(const Locked& locked, Facility facility, uint32_t index) {
  State& s = state_.With(locked);
  s.cache.Forget(facility, index);
  if (facility == Facility::STREAM) s.writes.ForgetStream(index);
}

void Server::Written(const Locked& locked, uint64_t ticket, bool success) {
  State& s = state_.With(locked);
  std::vector<DeviceKey> toKeep;
  s.writes.Written(locked, s.cache, ticket, success, &toKeep);
  KeepForReturn(locked, toKeep);
}

void Server::SendDue(const Locked& locked) {
  State& s = state_.With(locked);
  std::vector<DeviceKey> toKeep;
  s.writes.SendDue(locked, s.cache, &toKeep);
  KeepForReturn(locked, toKeep);
}

void Server::KeepForReturn(const Locked& locked, const std::vector<DeviceKey>& devices) {
  for (const DeviceKey& device : devices) state_.With(locked).kept.KeepForReturn(NameOf(device));
}

void Server::LoadLists(const Locked& locked) { state_.With(locked).cache.LoadLists(); }

void Server::ServerGone(const Locked& locked) {
  State& s = state_.With(locked);
  s.cache.ForgetServer();
  s.writes.Drop();
}

bool Server::WritesOnTheirWay(const Locked& locked) const {
  return state_.With(locked).writes.OnTheirWay();
}

}  // namespace pulse
