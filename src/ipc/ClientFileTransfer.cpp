#include "ipc/ClientFileTransfer.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "platform/AppTempFolder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
/** The first 'size' bytes of a file, opened when first read: while an archive
    is written only one file is open at a time, and an entry holds no more than
    the walk counted, also of a file that grew or that reports no size. */
class FileHead : public juce::InputStream
{
public:
    FileHead (juce::File fileToRead, juce::int64 sizeToRead) : file (std::move (fileToRead)), size (sizeToRead) {}

    juce::int64 getTotalLength() override     { return size; }
    juce::int64 getPosition() override        { return position; }
    bool isExhausted() override               { return ended || position >= size; }
    bool setPosition (juce::int64) override   { return false; }

    int read (void* destination, int maxBytes) override
    {
        if (in == nullptr && (in = file.createInputStream()) == nullptr)
            return -1;   // the archive cannot be written

        auto const n = in->read (destination, (int) juce::jmin ((juce::int64) maxBytes, size - position));

        if (in->getStatus().failed())
            return -1;

        ended = n <= 0;   // a file that shrank meanwhile ends here
        position += juce::jmax (0, n);
        return juce::jmax (0, n);
    }

private:
    juce::File const file;
    juce::int64 const size;
    juce::int64 position = 0;
    bool ended = false;
    std::unique_ptr<juce::FileInputStream> in;
};

/** Packs what the user sees: a link is packed as what it points to (a file's
    content, a folder's files), never as a link, which the receiver would not
    make. Only a link back into a folder on the way down to it is left out, as
    it would make the walk endless; a folder reached twice, through links or as
    itself, is packed each time. The folders on the way down are kept on the
    heap, so that any depth the file system allows is walked, and the walk stops
    at the first item beyond the limits. */
class Packer
{
public:
    explicit Packer (ArchiveLimits limitsToUse) : limits (limitsToUse) {}

    void add (juce::File const& selected)
    {
        std::vector<Folder> path;   // from the selected folder down to the one being read
        visit (selected, selected.getFileName(), path);

        while (! path.empty() && ! full)
        {
            auto& folder = path.back();

            if (folder.next == folder.children.size())
            {
                path.pop_back();
                continue;
            }

            auto const child = folder.children.getReference (folder.next++);
            visit (child, folder.storedPath + "/" + child.getFileName(), path);
        }
    }

    juce::ZipFile::Builder builder;

private:
    struct Folder
    {
        dev_t device;
        ino_t inode;
        juce::String storedPath;
        juce::Array<juce::File> children;
        int next = 0;
    };

    void visit (juce::File const& item, juce::String const& storedPath, std::vector<Folder>& path)
    {
        if (full)
            return;

        auto const name = item.getFullPathName();
        struct stat info {};

        if (::stat (name.toRawUTF8(), &info) != 0)
        {
            auto const error = errno;
            return leaveOut (item, error == ENOENT ? juce::String ("it leads nowhere")
                                                   : "it cannot be reached: " + juce::String (std::strerror (error)));
        }

        if (S_ISDIR (info.st_mode))
        {
            for (auto const& folder : path)
                if (folder.device == info.st_dev && folder.inode == info.st_ino)
                    return leaveOut (item, "it leads back into a folder it lies in");

            if (++folders > limits.maxFolders)
                return stop (item, juce::String (limits.maxFolders) + " folders are walked at most");

            path.push_back ({ info.st_dev, info.st_ino, storedPath,
                              item.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no) });
        }
        else if (S_ISREG (info.st_mode))
        {
            if (::access (name.toRawUTF8(), R_OK) != 0)
                return leaveOut (item, "it cannot be read");

            if (files >= limits.maxEntries)
                return stop (item, "an archive holds at most " + juce::String (limits.maxEntries) + " files");

            if (info.st_size > limits.maxBytes - bytes)
                return stop (item, "an archive holds at most " + juce::String (limits.maxBytes) + " bytes");

            ++files;
            bytes += info.st_size;
            builder.addEntry (new FileHead (item, info.st_size), compressionLevel, storedPath,
                              juce::Time ((juce::int64) info.st_mtime * 1000));
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

    void stop (juce::File const& item, juce::String const& reason)
    {
        full = true;
        leaveOut (item, "and everything after it: " + reason);
    }

    ArchiveLimits const limits;
    juce::int64 bytes = 0;
    int files = 0, folders = 0;
    bool full = false;
};
} // namespace

juce::File packFiles (juce::Array<juce::File> const& files, ArchiveLimits limits)
{
    Packer packer (limits);

    for (auto const& item : files)
        packer.add (item);

    auto folder = getTransferFolder();

    if (folder == juce::File())
        return {};

    auto archive = folder.getChildFile (archiveName);
    archive.deleteFile();
    bool written = false;

    {
        juce::FileOutputStream out (archive, archiveBufferSize);

        if (out.openedOk())
        {
            written = packer.builder.writeToStream (out, nullptr);
            out.flush();
            written = written && out.getStatus().wasOk();
        }
    }

    if (! written)
    {
        // Nothing rather than a cut archive: the receiver then gets no files.
        DBGOrLog ("Send clipboard files: the archive cannot be written, sending none");
        archive.deleteFile();
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
    : juce::InterprocessConnection (true, ControlProtocol::magicNumber),
      isReceiver (isReceiverEnd),
      file (std::move (fileToSend)),
      owner (ownerToUse),
      created (juce::Time::getMillisecondCounter()),
      lastActivity (created)
{
    if (isReceiver)
        DBGOrLog ("ClientFileTransfer receiver ready");
    else
        DBGOrLog ("ClientFileTransfer sender for " + file.getFullPathName());
}

ClientIPC::ClientFileTransferIPC::~ClientFileTransferIPC()
{
    DBGOrLog ("ClientFileTransfer: disconnect and delete");
    disconnect (-1, juce::InterprocessConnection::Notify::no);
}

void ClientIPC::ClientFileTransferIPC::connectionMade()
{
    if (isReceiver)
    {
        DBGOrLog ("ClientFileTransferReceiver: connection made");
        return;
    }

    // Every frame of a transfer is written on the message thread, one after the other.
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
        if (ControlProtocol::readText (message) != FileTransfer::headerReceived())
            return;

        DBGOrLog ("ClientFileTransfer sender: start sending...");

        juce::MemoryBlock content;

        if (file.existsAsFile())
            file.loadFileAsData (content);

        if (sendMessage (content))
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
    : port (portToUse), owner (ownerToUse), limits (limitsToUse)
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

juce::InterprocessConnection* ClientIPC::ClientFileTransferIPCServer::createConnectionObject()
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
