// The cache of the server's devices and streams, kept current by the server's change events on
// the main loop's thread, so that reading a volume never waits for the server.
#pragma once

#include "platform/pulse/state.h"

namespace pulse {

// Asks for every device and stream; listsPending counts the three listings until they are in.
void ListEverything();

// The server's change events: a new device or stream is asked for at once, a changed one a
// little later (AskForChanged), and a removed one leaves the cache.
void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void*);

// Asks at once for every device and stream changed since the last time.
void AskForChanged();

}  // namespace pulse
