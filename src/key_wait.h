// The pause after a message.
#pragma once

namespace arcmend {

// Waits for one key press on the console keyboard (on POSIX systems the
// controlling terminal), never reading standard input. The key is consumed
// whole and not echoed; keys typed before the wait count. Returns at once
// when there is no console. The console's mode is as before afterwards.
void pause_for_key();

}  // namespace arcmend
