#pragma once

#include "ipc/ClientIPC.h"
#include "ipc/ConnectionListener.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

/*  Files sent from one machine to another.

    When control moves and the clipboard of the machine that had it holds
    files, that machine packs them into one zip archive and sends it over a
    connection of its own to the receiving machine's port + 1, which unpacks it
    into its transfer folder and puts the unpacked items on its clipboard.

    A transfer is three messages in the framing of the control connection:
      1. sender to receiver: "Filename: " + name + " fromDrag: " + "true"/"false"
      2. receiver to sender: "Filename received!"
      3. sender to receiver: the file's whole content, as one message.

    This file is the one place where these texts are spelled.
*/
namespace FileTransfer
{
    /** How long, and how many, receiving connections a listener keeps. A
        connection is done once its file has arrived. */
    struct Limits
    {
        int headerTimeoutMs = 10000;     // from the connection to the "Filename: " header
        int fileTimeoutMs = 10000;       // after the header, without a byte of the file arriving
        int rateWindowMs = 30000;        // after the header, the file arrives at least at
        int minBytesPerSecond = 65536;   // this rate on average over each such window
        int maxConnections = 16;         // open receiving connections
        int maxPerAddress = 2;           // of them from one address (all local peers count as one)
    };

    /** What one archive may hold, when packed and when unpacked. */
    struct ArchiveLimits
    {
        juce::int64 maxBytes = juce::int64 (1) << 30;  // content of all its files
        int maxEntries = 65535;                        // the most a zip archive counts without its extension
        int maxFolders = 65535;                        // folders walked while packing
    };

    /** Message 1. */
    juce::String header (juce::String const& fileName, bool fromDrag);

    /** Message 2. */
    juce::String headerReceived();

    struct Header
    {
        bool hasName = false;   // "Filename: " was there
        juce::String fileName;  // after "Filename: ", before "fromDrag:" (not trimmed)
        bool fromDrag = false;  // the text after "fromDrag: " is exactly "true"
    };

    /** Reads a header text; safe on any text. */
    Header readHeader (juce::String const& text);

    /** The name under which a received file may be written into the transfer
        folder: the final component of the peer's name (after the last '/' or
        '\'), trailing blanks kept. Empty when that is refused: empty, "." or "..". */
    juce::String safeFileName (juce::String const& receivedName);

    /** The file 'name' (a safe name) directly inside 'folder'. Unlike
        juce::File::getChildFile, which reads a name that starts with '~' as a
        home folder, the name is taken as it stands. */
    juce::File childNamed (juce::File const& folder, juce::String const& name);

    /** The name of the outgoing archive. */
    inline constexpr const char* archiveName = "zipOut.zip";

    /** "Corvelline" in the program's own temporary folder (AppTempFolder),
        created when missing; juce::File() when there is no such folder. */
    juce::File getTransferFolder();

    /** "Outgoing" in the program's own temporary folder, where archives are
        packed, apart from the transfer folder that each received transfer
        empties; created when missing, juce::File() when there is no such folder. */
    juce::File getOutgoingFolder();

    /** Packs files and folders (folders with every file below them, stored
        under paths that start with the folder's own name) at compression level
        5 into "zipOut.zip" in the outgoing folder, which it replaces only once
        complete. A symbolic link is packed as what it points to, a folder as
        often as it is reached. What cannot be packed (a dangling link, a link
        back into a folder it lies in, anything that is no file) is left out and
        logged. Returns the archive, closed; or juce::File(), with nothing left
        behind, when no archive is to be sent: the files go beyond the limits
        (the first item beyond them and the limit are logged), the archive
        cannot be written, or shouldStop returned true (asked as it goes). */
    juce::File packFiles (juce::Array<juce::File> const& files, ArchiveLimits limits = {},
                          std::function<bool()> const& shouldStop = {});

    /** Packs the clipboard's files for a hand-over on a thread of its own, one
        packing at a time, and hands each archive to 'send' on that thread. A
        newer request supersedes one not yet handed over: a packing in progress
        stops and leaves nothing behind, as the newer clipboard wins. Destroying
        it stops a packing in progress and waits for its thread (and for a
        'send' running on it). */
    class ClipboardPacker : private juce::Thread
    {
    public:
        using Send = std::function<void (juce::File const& archive, int targetID)>;

        explicit ClipboardPacker (Send sendToUse, ArchiveLimits limitsToUse = {});
        ~ClipboardPacker() override;

        /** Packs 'files' for targetID, in place of any request not yet sent. */
        void pack (juce::Array<juce::File> const& files, int targetID);

    private:
        void run() override;
        static void logReplaced (int targetID);

        Send const send;
        ArchiveLimits const limits;
        std::mutex lock;
        juce::Array<juce::File> files;      // guarded by lock, with the two below
        int target = -1;
        bool pending = false;
        std::atomic<juce::uint32> requests { 0 };

        JUCE_DECLARE_NON_COPYABLE (ClipboardPacker)
    };

    /** Unpacks an archive into a folder entry by entry, overwriting files, up
        to the limits and while the folder's file system keeps a reserve free
        (a tenth of it, at most 1 GiB). Entries that are symbolic links are
        never created (they are skipped), and nothing is written outside the
        folder or through a link. At the first entry that fails (a write
        error, a bound, a path outside, the calling juce::Thread asked to
        exit), it stops, removes what it made, logs why and returns false.
        What is no zip archive unpacks nothing. */
    bool unpackArchive (juce::InputStream& archive, juce::File const& folder, ArchiveLimits limits = {});
}

//==============================================================================
/** One file transfer, at the sending or the receiving end. Callbacks arrive on
    the message thread. Its frames may be as large as an archive
    (maxArchiveBytes). */
class ClientIPC::ClientFileTransferIPC : public FramedConnection
{
public:
    ClientFileTransferIPC (juce::File fileToSend, bool isReceiverEnd, ClientIPC* ownerToUse);

    /** The largest archive sent or received: the frame limit of a transfer.
        It leaves room for the entries' headers beside the content packing
        allows (ArchiveLimits::maxBytes), so that no packed archive is too
        large to send. */
    static constexpr size_t maxArchiveBytes = (1u << 30) + (128u << 20);
    ~ClientFileTransferIPC() override;

    void connectionMade() override;
    void connectionLost() override;
    void messageReceived (juce::MemoryBlock const& message) override;

    bool isReceiver;
    bool fromDrag = false;
    juce::File file;
    juce::String fileName;
    ClientIPC* owner;

    /** Where a receiving end stands; read by its listener from any thread. */
    enum class State { waitingForHeader, fileExpected, ended };
    State getState() const noexcept                    { return state.load(); }

    /** At a receiving end, where a received archive goes to be unpacked; set
        by the listener. */
    std::function<void (juce::File const& archive)> unpackLater;

    /** Milliseconds (juce::Time::getMillisecondCounter) of the creation and of
        the last progress: a message received, or bytes of one arriving. */
    juce::uint32 getCreationTime() const noexcept      { return created; }
    juce::uint32 getLastActivityTime() const noexcept;

private:
    void receiveHeader (juce::MemoryBlock const& message);
    void receiveFile (juce::MemoryBlock const& message);

    std::atomic<State> state { State::waitingForHeader };
    juce::uint32 const created;
    std::atomic<juce::uint32> lastActivity;

    JUCE_DECLARE_NON_COPYABLE (ClientFileTransferIPC)
};

//==============================================================================
/** Listens for incoming transfers on the machine's port + 1 and owns the
    receiving connections. A receiving connection is released when its file
    has arrived, when its connection ends, when no header or file arrives in
    time, or when its file arrives slower than the minimum rate; beyond a
    number of open ones, in all or from one address, new connections are
    refused. Received archives are unpacked one after
    the other on a thread of the listener's own, and the unpacked items handed
    to the client on the message thread; of the archives waiting for it, only
    the newest is kept. */
class ClientIPC::ClientFileTransferIPCServer : public ConnectionListener
{
public:
    using Limits = FileTransfer::Limits;

    ClientFileTransferIPCServer (int portToUse, ClientIPC* ownerToUse, Limits limitsToUse = Limits());
    ~ClientFileTransferIPCServer() override;

    /** Listens on 'port' on all local interfaces; true when it does. */
    bool beginListening();

    /** The receiving connections currently held. */
    int getNumReceivers() const;

    int const port;
    ClientIPC* const owner;

protected:
    FramedConnection* createConnectionObject() override;
    void connectionTaken (FramedConnection& connection) override;
    bool acceptsConnectionFrom (juce::String const& peerAddress) override;

private:
    class Sweeper;
    class Unpacker;
    void releaseFinishedReceivers();

    /** A receiving connection and what the sweeper keeps of it. */
    struct Held
    {
        std::unique_ptr<ClientFileTransferIPC> connection;
        bool handingOver = true;          // the listener's thread still gives it its socket
        bool windowOpen = false;          // a rate window runs, from windowStart
        juce::uint32 windowStart = 0;
        juce::uint64 bytesAtWindowStart = 0;
    };

    /** Whether a file arrives slower than the minimum rate over a window. */
    bool tooSlow (Held& held, juce::uint32 now) const;

    Limits const limits;
    std::unique_ptr<Unpacker> unpacker;
    mutable std::mutex receiversLock;
    std::vector<Held> receivers;          // guarded by receiversLock
    std::unique_ptr<Sweeper> sweeper;

    JUCE_DECLARE_NON_COPYABLE (ClientFileTransferIPCServer)
};
