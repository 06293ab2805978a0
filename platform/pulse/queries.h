// What the cache asks the server for, and when: every device, stream and the defaults on
// connecting; a new device or stream at once, a changed one a little later; a stream's client
// when nothing else names its application. The answers go to the cache (cache.h). All of it on
// the main loop's thread or with its lock held, which guards it.
#pragma once

#include "platform/pulse/types.h"

namespace pulse {

// Asks for every device, stream and the defaults; false when it could not ask for all.
// ListingsIn tells when their answers are in.
bool ListEverything();
bool ListingsIn();

// The server's change events: a new device or stream is asked for at once, a changed one a
// little later (AskForChanged asks at once), and a removed one leaves the cache.
void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void*);
void AskForChanged();
// Whether every query asked for has been answered.
bool QueriesAnswered();

// The connection is gone: nothing asked for is to come.
void ForgetQueries();

}  // namespace pulse
