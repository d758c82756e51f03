#pragma once

#include "app/peer/transfer/TransferAgentDownload.h"

// How a copy or move that involves a friend's computer reaches the transfer
// agent. The agent's window implements it; so does the agent that runs
// without a window.
class TransferHandOff {
public:
    virtual ~TransferHandOff() = default;
    // Opens the agent when it is not open, marking it opened for this
    // transfer so that it closes itself once its queue is done, then queues
    // the download. The agent's answer: false for a refused download (a
    // missing or overlong text, or the same download already queued).
    virtual bool HandOff(const TransferItem& download) = 0;
};
