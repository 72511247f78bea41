#include "ipc/ClientFileTransfer.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "platform/AppTempFolder.h"

#include <climits>
#include <cstdlib>
#include <set>
#include <sys/stat.h>

namespace FileTransfer
{
constexpr int receivedFileBufferSize = 8192;

namespace
{
const juce::String kFilename = "Filename: ";
const juce::String kFromDrag = " fromDrag: ";
const juce::String kFromDragMarker = "fromDrag:";
const juce::String kFromDragValue = "fromDrag: ";
const juce::String kFilenameReceived = "Filename received!";

constexpr int compressionLevel = 5;
constexpr int archiveBufferSize = 16384;
} // namespace

juce::String header (juce::String const& fileName, bool fromDrag)
{
    return kFilename + fileName + kFromDrag + (fromDrag ? "true" : "false");
}

juce::String headerReceived()
{
    return kFilenameReceived;
}

Header readHeader (juce::String const& text)
{
    Header h;
    h.hasName = text.contains (kFilename);
    h.fileName = ControlProtocol::textBefore (ControlProtocol::textAfter (text, kFilename), kFromDragMarker);
    h.fromDrag = ControlProtocol::textAfter (text, kFromDragValue) == "true";
    return h;
}

juce::String safeFileName (juce::String const& receivedName)
{
    auto lastSeparator = juce::jmax (receivedName.lastIndexOfChar ('/'), receivedName.lastIndexOfChar ('\\'));
    auto name = receivedName.substring (lastSeparator + 1);

    if (name.isEmpty() || name == "." || name == "..")
        return {};

    return name;
}

juce::File childNamed (juce::File const& folder, juce::String const& name)
{
    return juce::File (folder.getFullPathName() + juce::File::getSeparatorString() + name);
}

juce::File getTransferFolder()
{
    auto own = AppTempFolder::get();

    if (own == juce::File())
        return {};

    auto folder = own.getChildFile ("Corvelline");
    folder.createDirectory();
    return folder;
}

namespace
{
/** Packs what the user sees: a link is packed as what it points to (a file's
    content, a folder's files), never as a link, which the receiver would not
    make. Each folder is packed once, so that a link back into a folder being
    packed, or several links to one folder, cannot make the archive endless. */
struct Packer
{
    juce::ZipFile::Builder builder;
    std::set<juce::String> foldersPacked;   // real paths

    void add (juce::File const& item, juce::String const& storedPath)
    {
        char real[PATH_MAX];

        if (::realpath (item.getFullPathName().toRawUTF8(), real) == nullptr)
            return leaveOut (item, "it leads nowhere");

        juce::File const target (juce::String::fromUTF8 (real));
        struct stat info {};

        if (::stat (real, &info) != 0)
            return leaveOut (item, "it cannot be read");

        if (S_ISDIR (info.st_mode))
        {
            if (! foldersPacked.insert (target.getFullPathName()).second)
                return leaveOut (item, "its folder is packed already");

            for (auto const& inner : target.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                                            juce::File::FollowSymlinks::no))
                add (inner, storedPath + "/" + inner.getFileName());
        }
        else if (S_ISREG (info.st_mode))
        {
            builder.addFile (target, compressionLevel, storedPath);
        }
        else
        {
            leaveOut (item, "it is no file");
        }
    }

    static void leaveOut (juce::File const& item, juce::String const& reason)
    {
        DBGOrLog ("Send clipboard files: leaving out " + item.getFullPathName() + ", " + reason);
    }
};
} // namespace

juce::File packFiles (juce::Array<juce::File> const& files)
{
    Packer packer;

    for (auto const& item : files)
        packer.add (item, item.getFileName());

    auto folder = getTransferFolder();

    if (folder == juce::File())
        return {};

    auto archive = folder.getChildFile (archiveName);
    archive.deleteFile();

    {
        juce::FileOutputStream out (archive, archiveBufferSize);

        if (out.openedOk())
            packer.builder.writeToStream (out, nullptr);
    }

    return archive;
}

void unpackArchive (juce::File const& archive, juce::File const& folder)
{
    juce::ZipFile zip (archive);

    for (int i = 0; i < zip.getNumEntries(); ++i)
    {
        auto const* entry = zip.getEntry (i);

        if (entry == nullptr)
            break;

        // A link could point anywhere, and a later entry written through it
        // would land there: links are never made.
        if (entry->isSymbolicLink)
        {
            DBGOrLog ("ClientFileTransfer receiver: skipping symbolic link " + Logging::excerpt (entry->filename));
            continue;
        }

        auto result = zip.uncompressEntry (i, folder, juce::ZipFile::OverwriteFiles::yes, juce::ZipFile::FollowSymlinks::no);

        if (result.failed())
            break;
    }
}
} // namespace FileTransfer

//==============================================================================
ClientIPC::ClientFileTransferIPC::ClientFileTransferIPC (juce::File fileToSend, bool isReceiverEnd, ClientIPC* ownerToUse)
    : FramedConnection (ControlProtocol::magicNumber, true),
      isReceiver (isReceiverEnd),
      file (std::move (fileToSend)),
      owner (ownerToUse),
      created (juce::Time::getMillisecondCounter()),
      lastActivity (created)
{
    FramedConnection::Limits transferLimits;
    transferLimits.maxFrameBytes = maxArchiveBytes;
    setLimits (transferLimits);

    if (isReceiver)
        DBGOrLog ("ClientFileTransfer receiver ready");
    else
        DBGOrLog ("ClientFileTransfer sender for " + file.getFullPathName());
}

ClientIPC::ClientFileTransferIPC::~ClientFileTransferIPC()
{
    DBGOrLog ("ClientFileTransfer: disconnect and delete");
    disconnect (Notify::no);
}

void ClientIPC::ClientFileTransferIPC::connectionMade()
{
    if (isReceiver)
    {
        DBGOrLog ("ClientFileTransferReceiver: connection made");
        return;
    }

    // Every frame of a transfer is sent from the message thread, one after the other.
    DBGOrLog ("ClientFileTransferSender: connection made");
    sendMessage (ControlProtocol::textPayload (FileTransfer::header (file.getFileName(), fromDrag)));
}

void ClientIPC::ClientFileTransferIPC::connectionLost()
{
    DBGOrLog ("ClientFileTransferIPC: connectionLost");
    state = State::ended;
}

void ClientIPC::ClientFileTransferIPC::messageReceived (juce::MemoryBlock const& message)
{
    if (! isReceiver)
    {
        if (ControlProtocol::holdsZeroByte (message) || ControlProtocol::readText (message) != FileTransfer::headerReceived())
            return;

        DBGOrLog ("ClientFileTransfer sender: start sending...");

        juce::MemoryBlock content;

        if (file.existsAsFile())
            file.loadFileAsData (content);

        if (sendMessage (std::move (content)))
            DBGOrLog ("ClientFileTransfer sender: send finished");
        else
            DBGOrLog ("ClientFileTransfer sender: didn't work");

        return;
    }

    lastActivity = juce::Time::getMillisecondCounter();

    switch (state.load())
    {
        case State::waitingForHeader: receiveHeader (message); break;
        case State::fileExpected:     receiveFile (message); break;
        case State::ended:            break;
    }
}

void ClientIPC::ClientFileTransferIPC::receiveHeader (juce::MemoryBlock const& message)
{
    if (ControlProtocol::holdsZeroByte (message))
    {
        DBGOrLog ("ClientFileTransfer receiver: dropping a header cut short");
        return;
    }

    auto text = ControlProtocol::readText (message);
    auto header = FileTransfer::readHeader (text);
    fromDrag = header.fromDrag;

    DBGOrLog ("ClientFileTransfer receiver: " + Logging::excerpt (text));

    if (header.hasName)
    {
        fileName = FileTransfer::safeFileName (header.fileName);

        if (fileName.isEmpty())
        {
            // A name that would leave the transfer folder, or none at all:
            // the transfer is refused and its connection released.
            DBGOrLog ("ClientFileTransfer receiver: refusing file name " + Logging::excerpt (header.fileName.quoted()));
            state = State::ended;
            return;
        }

        state = State::fileExpected;
    }

    sendMessage (ControlProtocol::textPayload (FileTransfer::headerReceived()));
}

void ClientIPC::ClientFileTransferIPC::receiveFile (juce::MemoryBlock const& message)
{
    auto folder = FileTransfer::getTransferFolder();

    if (folder == juce::File())
    {
        DBGOrLog ("ClientFileTransfer receiver: no temporary folder");
        return;
    }

    for (auto const& entry : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                                     juce::File::FollowSymlinks::no))
    {
        if (entry.isDirectory() && ! entry.isSymbolicLink())
            entry.deleteRecursively (false);
        else
            entry.deleteFile();
    }

    auto target = FileTransfer::childNamed (folder, fileName);

    if (message.getSize() > 0)
    {
        juce::TemporaryFile temporary (target);

        {
            juce::FileOutputStream out (temporary.getFile(), FileTransfer::receivedFileBufferSize);

            if (out.openedOk())
                out.write (message.getData(), message.getSize());
        }

        temporary.overwriteTargetFileWithTemporary();
    }
    else
    {
        target.deleteFile();
    }

    FileTransfer::unpackArchive (target, folder);
    target.deleteFile();

    auto received = folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                           juce::File::FollowSymlinks::no);
    owner->addMultipleFilesOrDirsToClipboard (received);

    DBGOrLog ("Transferred clipboard file(s)");
}

//==============================================================================
/** Looks over the receiving connections four times a second and releases
    those that are done or overdue. */
class ClientIPC::ClientFileTransferIPCServer::Sweeper : public juce::Thread
{
public:
    explicit Sweeper (ClientFileTransferIPCServer& serverToUse)
        : juce::Thread ("FileTransferSweeper"), server (serverToUse) {}

    void run() override
    {
        while (! threadShouldExit())
        {
            server.releaseFinishedReceivers();
            wait (250);
        }
    }

private:
    ClientFileTransferIPCServer& server;
};

ClientIPC::ClientFileTransferIPCServer::ClientFileTransferIPCServer (int portToUse, ClientIPC* ownerToUse, Limits limitsToUse)
    : ConnectionListener ("FileTransferListener"), port (portToUse), owner (ownerToUse), limits (limitsToUse)
{
}

ClientIPC::ClientFileTransferIPCServer::~ClientFileTransferIPCServer()
{
    DBGOrLog ("Deleting ClientFileTransferIPCServer...");

    if (sweeper != nullptr)
    {
        sweeper->signalThreadShouldExit();
        sweeper->notify();
        sweeper->waitForThreadToExit (-1);
    }

    stop();

    std::vector<std::unique_ptr<ClientFileTransferIPC>> remaining;

    {
        const std::lock_guard<std::mutex> lock (receiversLock);
        remaining.swap (receivers);
    }
}

bool ClientIPC::ClientFileTransferIPCServer::beginListening()
{
    if (! beginWaitingForSocket (port, {}))
        return false;

    if (sweeper == nullptr)
    {
        sweeper = std::make_unique<Sweeper> (*this);
        sweeper->startThread();
    }

    return true;
}

int ClientIPC::ClientFileTransferIPCServer::getNumReceivers() const
{
    const std::lock_guard<std::mutex> lock (receiversLock);
    return (int) receivers.size();
}

FramedConnection* ClientIPC::ClientFileTransferIPCServer::createConnectionObject()
{
    const std::lock_guard<std::mutex> lock (receiversLock);

    if ((int) receivers.size() >= limits.maxConnections)
    {
        DBGOrLog ("File transfer server: too many open transfers, refusing a connection");
        return nullptr;
    }

    receivers.push_back (std::make_unique<ClientFileTransferIPC> (juce::File(), true, owner));
    return receivers.back().get();
}

void ClientIPC::ClientFileTransferIPCServer::releaseFinishedReceivers()
{
    // The listener thread hands a new connection its socket just after making
    // it; a connection is only judged once it is safely past that.
    constexpr juce::uint32 settleMs = 1000;

    std::vector<std::unique_ptr<ClientFileTransferIPC>> finished;

    {
        const std::lock_guard<std::mutex> lock (receiversLock);

        // Read under the lock, so that no receiver made meanwhile looks aeons old.
        auto const now = juce::Time::getMillisecondCounter();

        for (auto it = receivers.begin(); it != receivers.end();)
        {
            auto& receiver = **it;
            auto age = now - receiver.getCreationTime();
            auto idle = now - receiver.getLastActivityTime();
            auto state = receiver.getState();

            bool done = state == ClientFileTransferIPC::State::ended
                     || (age > settleMs && ! receiver.isConnected())
                     || (state == ClientFileTransferIPC::State::waitingForHeader && age > (juce::uint32) limits.headerTimeoutMs)
                     || (state == ClientFileTransferIPC::State::fileExpected && idle > (juce::uint32) limits.idleTimeoutMs);

            if (done)
            {
                finished.push_back (std::move (*it));
                it = receivers.erase (it);
            }
            else
            {
                ++it;
            }
        }
    }

    // Deleted outside the lock: each waits for its reading thread and for a
    // callback of it that may be running on the message thread.
    finished.clear();
}
