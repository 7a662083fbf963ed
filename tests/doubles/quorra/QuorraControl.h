// What tests can read and script in the bus library double (export "QuorraControl").
#pragma once

// How the double answers a request.
enum QuorraReplyMode : long {
    kQuorraReplyArrives = 0,   // status 0 with a reply message named "Reply." + request name
    kQuorraReplyTimesOut = 1,  // status MODULE_STATUS_TIMEOUT, no message
    kQuorraReplyFails = 2,     // status MODULE_STATUS_UNSUCCESSFUL, no message
    kQuorraReplyNever = 3,     // never answered
    kQuorraReplyMalformed = 4, // status 0 without a name: no message can be made of it
};

struct QuorraState {
    // Script: set before the calls they shape.
    volatile long nullTable;          // CreateObject gives null
    volatile long getHandleStatus;    // returned by get handle (no handle when not 0)
    volatile long replyMode;          // QuorraReplyMode
    volatile long holeyTable;         // CreateObject gives a table whose publish entry is null

    // Counters.
    volatile long createObject;
    volatile long getHandle;
    volatile long releaseHandle;
    volatile long liveHandles;
    volatile long publish;
    volatile long request;
    volatile long subscribe;
    volatile long subscribeFilter;
    volatile long unsubscribe;
    volatile long withdraw;
    volatile long liveSubscriptions;
    volatile long delivered;          // message callbacks made
    volatile long lastDeliveryResult;
};

using QuorraControlFn = QuorraState* (*)();
// Waits until no delivery or reply is queued or running; false on time-out.
using QuorraWaitIdleFn = int (*)(unsigned long milliseconds);
