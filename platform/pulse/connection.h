// The link to a real sound server through libpulse: the connection and the threaded main loop
// that talks to it, started on first use, (re)made when a call finds it gone, ended at exit
// once the last writes landed; and what it asks the server for (queries.cpp): every device,
// stream and the defaults on connecting, a new device or stream at once, a changed one a little
// later, a stream's client when nothing else names its application.
//
// The one lock is the main loop's own: held by the loop's thread in every callback, and by a
// caller for a whole mixer call; a wait for the server lets go of it.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/pulse/link.h"

namespace pulse {

class Connection final : public Link {
 public:
  Connection();
  ~Connection() override;

  void Lock() override;
  void Unlock() override;
  bool Reach(const Locked& locked, bool roundTrip) override;
  bool Online(const Locked& locked) const override;
  bool SetVolume(const Locked& locked, Facility facility, uint32_t index, const pa_cvolume& volume,
                 uint64_t ticket) override;
  void WakeAt(const Locked& locked, int64_t atNs) override;
  int64_t Now() const override;
  void LetWritesLand(const Locked& locked, int64_t deadlineNs) override;
  void End() override;

 private:
  // What a callback of libpulse needs besides this link: a write's ticket, or the stream whose
  // client is asked for. Taken from a pool, so sending a write allocates nothing of ours.
  struct Pending {
    Connection* link;
    uint64_t value;
    Pending* nextFree;
  };
  Pending* TakePending(uint64_t value);
  void GiveBack(Pending* pending);

  // The connection (connection.cpp).
  bool Started();
  template <typename Done>
  bool WaitUntil(Done done, pa_usec_t timeout = ANSWER_TIMEOUT);
  void Disconnect();
  bool ConnectedAndListed() const;
  bool Connect();
  bool ConnectIfGone();
  bool RoundTrip();
  static void OnContextState(pa_context* context, void* link);
  struct Deadline {
    pa_threaded_mainloop* loop;
    bool passed;
  };
  static void OnLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* deadline);
  static void OnWritten(pa_context*, int success, void* pending);
  static void OnAnswer(pa_context*, const pa_server_info*, void* link);
  static void OnPace(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* link);

  // The queries (queries.cpp).
  bool ListEverything();
  void AskFor(unsigned facility, uint32_t index);
  void AskForChanged();
  bool AskForClient(uint32_t client, uint32_t stream);
  const char* ApplicationName(const pa_sink_input_info& input) const;
  void Store(const pa_sink_info& sink);
  void Store(const pa_source_info& source);
  void Store(const pa_client_info& client);
  void Store(const pa_sink_input_info& input);
  void ForgetQueries();
  template <typename Info, int Connection::*pending>
  static void OnInfo(pa_context*, const Info* info, int eol, void* link);
  template <int Connection::*pending>
  static void OnServerInfo(pa_context*, const pa_server_info* info, void* link);
  static void OnClient(pa_context*, const pa_client_info* info, int eol, void* pending);
  static void OnEvent(pa_context*, pa_subscription_event_type_t event, uint32_t index, void* link);
  static void OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* link);

  pa_threaded_mainloop* loop_;
  std::mutex noLoop_;  // the lock, should the loop never have been made
  bool started_ = false;
  bool ended_ = false;  // ended at exit: no loop starts again
  pa_context* context_ = nullptr;
  bool listed_ = false;            // the cache holds what the listing answered
  pa_time_event* pace_ = nullptr;  // the paced writes' timer, made on first use
  std::deque<Pending> pending_;    // the pool, never shrinking; its addresses stay
  Pending* free_ = nullptr;

  int listsPending_ = 0;
  int queriesPending_ = 0;
  std::set<std::pair<unsigned, uint32_t>> changed_;  // facility and index, still to ask for
  pa_time_event* refresh_ = nullptr;                 // set while some are
  pa_usec_t lastRefresh_ = 0;                        // when they were last asked for
  std::map<uint32_t, std::string> clients_;       // each client's application name, by pulse index
  std::map<uint32_t, uint32_t> awaitingClients_;  // streams stored once their client's name is in
};

}  // namespace pulse
