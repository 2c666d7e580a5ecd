#pragma once

// What can be learnt about a library connection without reading from it: whether a whole
// remote-CAPI frame waits, and which sockets a library call opened.


#include <QString>

#include <vector>

namespace capi20 {

enum class FrameState {
    Nothing,   // no byte waits
    Whole,     // at least one whole frame waits: reading it cannot block
    Partial,   // part of a frame waits; the rest has not arrived yet
    Closed,    // the peer closed the connection (also in the middle of a frame)
    NotSocket, // a device, not a socket: it hands out whole messages
    Broken,    // the frame's length field cannot be right, or the socket failed
};

struct FrameCheck
{
    FrameState state = FrameState::Nothing;
    QString detail; // for Broken: why
    int length = 0; // for Whole: the first frame's length, its prefix included
};

// Looks at the remote-CAPI stream on `fd` (frames of a big-endian 16-bit length that counts
// itself, then the body) without consuming anything and without blocking.
// `waiting`, when given, carries the bytes known to wait from one check to the next: a frame
// within it is whole without asking the kernel again, and a new count is stored whenever the
// kernel is asked. The caller subtracts the length of each frame it takes.
FrameCheck checkFrame(int fd, int *waiting = nullptr);

// Whether the peer of a socket with nothing to read has closed it.
bool peerClosed(int fd);

// The descriptors open in this process now, sorted.
std::vector<int> openDescriptors();
// Shuts down (both ways) every TCP client socket open now that is not in `before`, so a call
// blocked on it returns. Returns how many were shut down.
int shutdownNewTcpSockets(const std::vector<int> &before);

} // namespace capi20
