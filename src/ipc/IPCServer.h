#pragma once

#include "ipc/ConnectionListener.h"
#include "ipc/FramedConnection.h"
#include "ipc/RivalServerSearch.h"

#include <juce_events/juce_events.h>
#include <juce_graphics/juce_graphics.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct Machine;

/** The cluster server.

    Accepts machines after discovery (its UDPThread), listens for their control
    connections on TCP port 25477 (one ServerIPC each), owns their records, lays
    their desktops out on the virtual desktop and relays control messages
    between them. It never calls into the application: every decision reaches
    the machines, its own host included, as control messages.

    Construction and destruction may happen on any thread, the message thread
    included. The constructor returns once the discovery thread has tried to
    bind its port and the listener has been started. The destructor returns
    within a bounded time even with machines connected: work it posted to the
    message thread (removals of lost machines, "Accept?" dialogs and their
    answers) does nothing once it has begun.

    It looks out for other servers of its cluster (RivalServerSearch); when it
    gives way to one, it answers no machine any more and calls onGivingWay,
    once, on its discovery thread: the owner then destroys it, elsewhere.

    Threads that come here: the constructor's caller, the listener thread
    ("ServerListener"), one reading thread per connection ("FrameReader"), the
    discovery thread ("ServerUDPThread") and the message thread (removals and
    dialogs). machinesLock guards the machine map, the records in it, the
    current input and receiving machines and the content size; it is held while
    sending.
*/
class IPCServer : public ConnectionListener
{
public:
    class ServerIPC;
    class UDPThread;

    /** How long, and how many, connections that belong to no machine and
        accepted machines that have not connected yet are kept. */
    struct Limits
    {
        int unpairedTimeoutMs = 10000;   // from the connection on
        int maxUnpaired = 16;            // kept at once; beyond, new ones are closed (a waiting machine's own excepted)
        int maxUnpairedPerAddress = 4;   // kept from one address, with the machines it joined by their IDs
        int joinTimeoutMs = 5000;        // from the acceptance to the connection
        int maxWaitingMachines = 16;     // accepted and not connected at once; beyond, the oldest is forgotten
        FramedConnection::Limits connection;   // of every control connection
        RivalServerSearch::Timing rivalSearch; // of the look-out for other servers of the cluster
    };

    IPCServer();
    explicit IPCServer (Limits limitsToUse, std::function<void()> onGivingWayToUse = {});
    ~IPCServer() override;

    //==============================================================================
    // Relay operations. Each takes machinesLock for its whole run; "to send to a
    // machine" means to send on its connection when the machine is known and
    // connected. Broadcasts go to the connected machines in ascending ID order.

    /** Stores the machine's place, sends "Display position ID: " to every
        connected machine except excludeID (-1 excludes none), then saves the layout. */
    void moveDisplays (int id, int x, int y, int excludeID);

    /** "Switch mode: idle" to the machine. */
    void sendIdleModeMessageTo (int id);

    /** "Empty your clipboard" to the target, then "Send clipboard to ID: " to the source. */
    void sendClipboardFromTo (int sourceID, int targetID);

    /** "Send dragged file to ID: " to the source; nothing unless both are known. */
    void sendDraggedFileFromTo (int sourceID, int targetID);

    /** Relays a received "Route clipboard to ID: " payload as "Copy to
        clipboard: " to its machine (see ControlProtocol::relayClipboard), in
        place of a clipboard still waiting for it; one beyond the frame limit
        is not made (logged). */
    void relayClipboard (juce::MemoryBlock const& routePayload);

    /** "Prepare local and remote: " + toID to fromID. */
    void sendControlMessage (int fromID, int toID);

    /** Sets the machine's is-server flag. */
    void setIsServer (int id, bool isServer);

    /** Announces "Current input ID: " to all, only when it changes. */
    void setCurrentInputID (int id);

    /** True when a switch that 'senderID' asks for is stale: another
        machine's input is in use (its claim reached the server first). */
    bool isStaleSwitch (int senderID);

    /** Announces "Current receiving ID: " to all, only when it changes. */
    void setCurrentReceivingID (int id);

    /** "Jump to middle" to the machine. */
    void sendJumpToMiddle (int id);

    /** "Take back control" to the machine. */
    void sendTakeBackControl (int id);

    /** "Resize content component width: ... height: ..." to all, every time. */
    void sendContentComponentResizedMessage (int width, int height);

    //==============================================================================
    // Layouts. Laying out means: restore the stored layout of the machines now
    // present, or else compute the automatic one.

    /** A machine brought its monitors: store them, lay out, tell the others. */
    void addClientDisplays (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id);

    /** A machine's desktop changed: store it, lay out, forward it to the others. */
    void changeDisplays (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id);

    /** Restores the stored layout made for exactly the machines now present. */
    bool tryToReloadLayout();

    /** Places the machines side by side in ID order, or centres a lone one. */
    void autoLayoutMachines();

    /** Stores the arrangement of two or more machines in the setting "LAYOUTS". */
    void saveLayout();

protected:
    /** A connection from the address of an accepted machine that waits for
        it is always taken; any other only while fewer than maxUnpaired
        connections without a machine are kept, fewer than
        maxUnpairedPerAddress from its address (counting the machines it
        joined by the IDs they sent), and fewer than twice
        maxUnpaired are held at all (lost ones not yet released included). */
    bool acceptsConnectionFrom (juce::String const& peerAddress) override;

    /** A new connection, paired with its machine once it is made (pairConnection). */
    FramedConnection* createConnectionObject() override;

private:
    /** What work posted to the message thread holds on to: the server while it
        lives, null from the start of its destruction. Posted work runs under the
        lock, so the destructor waits for work that has begun. */
    struct Lifeline
    {
        juce::CriticalSection lock;
        IPCServer* server = nullptr;
    };

    juce::WaitableEvent udpBindAttempted;               // resets itself after each wait
    std::map<int, std::unique_ptr<Machine>> machines;
    std::unique_ptr<UDPThread> udpThread;
    juce::CriticalSection machinesLock;
    int contentComponentWidth = 0;
    int contentComponentHeight = 0;
    int currentInputID = -1;
    int currentReceivingID = -1;

    /** An accepted machine whose record has no connection yet. */
    struct Waiting
    {
        juce::uint32 since = 0;     // the acceptance (juce::Time::getMillisecondCounter)
        juce::uint64 order = 0;     // of the acceptances
        bool announced = false;     // its record was sent to a machine ("Send monitors")
    };

    std::map<int, Waiting> waiting;                                // guarded by machinesLock; by machine ID
    juce::uint64 acceptances = 0;                                  // guarded by machinesLock
    std::vector<std::unique_ptr<ServerIPC>> unpairedConnections;   // guarded by machinesLock
    std::shared_ptr<Lifeline> const lifeline;
    Limits const limits;
    std::function<void()> const onGivingWay;

    class Sweeper;
    std::unique_ptr<Sweeper> sweeper;

    Machine* findMachine (int id) const;
    void sendToMachine (int id, juce::MemoryBlock payload);
    void sendToAllMachines (juce::MemoryBlock payload, int excludeID, juce::String const& kind = {});   // one shared payload; see sendLatest
    void layOut();

    /** Gives machine 'id' its monitors and desktop, then lays the machines out
        again; null (and nothing done) when no such machine is known or the
        desktop is not a possible one (isPossibleDesktop). Called with
        machinesLock held. */
    Machine* storeDisplaysAndLayOut (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id);

    // Message handling (the connection's reading thread).
    void sendMachinesTo (ServerIPC& asker);
    void switchReceivingMachine (int senderID, int receivingID);

    /** The backup server: the machine that says "Connected client: " while two
        machines are known is named at once; while no connected machine has
        been told "Backup server", the next one that turns out not to host the
        server is named too. */
    void nameBackupOnJoining (ServerIPC& joining);
    void nameBackupOnIsServer (ServerIPC& connection, bool hostsServer);
    void nameBackup (ServerIPC& connection);
    bool hasBackup() const;

    //==============================================================================
    // Accepted machines and their connections (IPCServer.cpp).

    /** Registers an accepted machine at ip (replacing a record of the same ID
        that has no connection) and waits joinTimeoutMs for its connection;
        beyond maxWaitingMachines the machine waiting longest is forgotten.
        Returns false for a machine that is connected already. */
    bool addAcceptedMachine (juce::String const& ip, int port);

    /** Pairs a connection whose socket is now known with the accepted machine
        that has none yet and whose address it comes from. Any other connection
        stays unpaired: its messages are ignored, except a "Connected client: "
        with the ID of a machine that waits (pairByID), and it is released once
        it can no longer be read or after unpairedTimeoutMs. Called by the
        connection as it is made. */
    void pairConnection (ServerIPC& connection);

    /** Pairs an unpaired connection with the accepted machine 'id' when that
        machine has no connection yet. Called on the connection's reading thread. */
    bool pairByID (ServerIPC& connection, int id);

    bool isUnpaired (ServerIPC const& connection) const;   // machinesLock held
    void pair (ServerIPC& connection, int id);              // machinesLock held

    /** Forgets an accepted machine that has not connected, as if it had left:
        the others hear "Remove machine" if it was sent to them. machinesLock held. */
    void forgetWaitingMachine (int id);

    // Lost and unpaired connections, and machines that never connect.
    void postRemoval (ServerIPC* connection, juce::int64 serial);
    void removeConnection (ServerIPC* connection, juce::int64 serial);
    void releaseUnpairedConnections();
    void forgetLateMachines();

    JUCE_DECLARE_NON_COPYABLE (IPCServer)
};
