// The dispatcher of a port record. Two threads per open record:
// CommEventThread waits for the device's events (timing its wait to the
// output queue while an output trigger is armed), DispatchThread takes each
// event in strict alternation with it, moves received bytes into the ring,
// offers them to the data triggers, runs timer and status triggers (after
// line events, and in the 50 ms idle pass), and delivers the notices to the
// record's listeners: procedure listeners on DispatchThread itself, window
// listeners through their notice window, waiting at most 1000 ms each.
//
// Locking: the dispatcher never takes the record's `lock`, so a record
// operation (a write that flow control holds up included) never keeps it
// from receiving. It takes `state` briefly, never while a listener runs. A
// notice begins in the same hold of `state` as the check that decided on it
// (TryBegin), so a wait for text that suspends notices never finds one begun
// after it; while notices are suspended or the record is closing, none
// begins, and the rest of a batch under way waits. A record closed during a
// notice (close-pending) is freed here when the notice is over.
#pragma once

#include "serial/port_record.h"

#include <cstddef>

namespace tollander::serial {

// Starts the record's two threads (the last step of an open); false when the
// system refused a thread.
bool StartThreads(const RecordPtr& rec);
// Stops and joins them; not from DispatchThread.
void StopThreads(Record& rec);
// Characters waiting, less those the current listener has peeked (under
// `state`).
std::size_t InputCountLocked(const Record& rec);
// Ends an event wait without a time limit, so that the event thread times its
// next wait to the output queue (an output trigger was armed, or a write
// queued bytes that one waits for).
void WakeUntimedWait(Record& rec);

} // namespace tollander::serial
