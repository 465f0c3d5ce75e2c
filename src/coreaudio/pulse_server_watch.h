#pragma once

// Whether the sound server answers, as this process's connections to it see it. A request it
// left unanswered, or a record stream that stopped delivering, sets it aside (a stopped or
// hung server keeps its sockets open, so nothing else tells); the next thing it sends takes
// it back. While it is aside, the backend's calls that would wait for the server fail at
// once instead: the main thread never waits out a deadline on a server that does not answer.
namespace sonvale::coreaudio::server_watch {

void silent();
void answered();
bool answering();

}  // namespace sonvale::coreaudio::server_watch
