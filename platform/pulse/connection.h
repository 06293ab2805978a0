// The connection to the sound server and the threaded main loop that talks to it: started on
// first use, (re)made when a call finds it gone, released at exit once the last writes landed.
//
// Its lock is the main loop's own: held by the loop's thread in every callback of the server's
// (the cache's and the writes' too), and by a caller only to connect or to wait for the server,
// never while it holds the cache's lock.
#pragma once

#include "platform/pulse/types.h"

namespace pulse {

// The callers' side. ReachServer connects when there is no connection, and costs nothing while
// there is one; SyncWithServer also brings the cache up to what the server has now and lets the
// writes on their way land first, which costs a round trip: only listing the devices needs it.
// Each waits for the server no longer than ANSWER_TIMEOUT; take the cache's lock after them.
void ReachServer();
void SyncWithServer();
// Whether the cache holds a server's state: connected, listed, and the connection not seen
// failing since. Needs no lock.
bool Online();

// The main loop's side, with its lock held: the connection's context, the loop's API, and
// waking whoever waits on the loop for an answer or for a write to land.
pa_context* Context();
pa_mainloop_api* LoopApi();
void WakeWaiters();

// Any thread: wakes the loop to send the writes that wait (SendWaiting, writes.h).
void WakeLoop();

}  // namespace pulse
