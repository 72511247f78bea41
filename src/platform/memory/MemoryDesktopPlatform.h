#pragma once

#include "platform/DesktopPlatform.h"
#include "platform/memory/MemoryPasteboard.h"
#include "platform/memory/MemoryStatusItem.h"

#include <atomic>
#include <mutex>
#include <vector>

/** A simulated desktop for tests: pasteboards in memory, a status item that
    records, a quit request that is only counted, and a trust check whose
    answer the test sets. */
class MemoryDesktopPlatform : public DesktopPlatform
{
public:
    MemoryPasteboard& getGeneralPasteboard() override { return general; }
    MemoryPasteboard& getDragPasteboard() override    { return drag; }
    MemoryStatusItem& getStatusItem() override        { return statusItem; }

    /** Counts the request; nothing quits. */
    void requestQuit() override { ++quitRequests; }
    int getNumQuitRequests() const { return quitRequests.load(); }

    /** Answers what setTrusted() set (true at first) and records whether the
        caller asked with the prompt. */
    bool isTrusted (bool prompt) override;
    void setTrusted (bool shouldBeTrusted);

    /** The prompt argument of every trust check so far, in order. */
    std::vector<bool> getTrustChecks() const;

private:
    MemoryPasteboard general, drag;
    MemoryStatusItem statusItem;
    std::atomic<int> quitRequests { 0 };

    mutable std::mutex trustLock;
    bool trusted = true;
    std::vector<bool> trustChecks;
};
