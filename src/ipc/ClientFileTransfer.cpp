#include "ipc/ClientFileTransfer.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "platform/AppTempFolder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FileTransfer
{
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

namespace
{
juce::File ownTempChild (char const* name)
{
    auto own = AppTempFolder::get();

    if (own == juce::File())
        return {};

    auto folder = own.getChildFile (name);
    folder.createDirectory();
    return folder;
}
} // namespace

juce::File getTransferFolder()
{
    return ownTempChild ("Corvelline");
}

juce::File getOutgoingFolder()
{
    return ownTempChild ("Outgoing");
}

namespace
{
/** Whether a packing is to stop; true from the first time it says so. */
class StopCheck
{
public:
    explicit StopCheck (std::function<bool()> const& askToUse) : ask (askToUse) {}

    bool operator()()
    {
        stopped = stopped || (ask != nullptr && ask());
        return stopped;
    }

private:
    std::function<bool()> const& ask;
    bool stopped = false;
};

/** The first 'size' bytes of a file, opened when first read: while an archive
    is written only one file is open at a time, and an entry holds no more than
    the walk counted, also of a file that grew or that reports no size. A read
    fails once the packing is to stop, which ends the writing of the archive. */
class FileHead : public juce::InputStream
{
public:
    FileHead (juce::File fileToRead, juce::int64 sizeToRead, StopCheck& stopToUse)
        : file (std::move (fileToRead)), size (sizeToRead), stop (stopToUse) {}

    juce::int64 getTotalLength() override     { return size; }
    juce::int64 getPosition() override        { return position; }
    bool isExhausted() override               { return ended || position >= size; }
    bool setPosition (juce::int64) override   { return false; }

    int read (void* destination, int maxBytes) override
    {
        if (stop() || (in == nullptr && (in = file.createInputStream()) == nullptr))
            return -1;   // the archive is not written

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
    StopCheck& stop;
    std::unique_ptr<juce::FileInputStream> in;
};

/** Packs what the user sees: a link is packed as what it points to (a file's
    content, a folder's files), never as a link, which the receiver would not
    make. Only a link back into a folder on the way down to it is left out, as
    it would make the walk endless; a folder reached twice, through links or as
    itself, is packed each time. The folders on the way down are kept on the
    heap, so that any depth the file system allows is walked, and the walk stops
    at the first item beyond the limits, or when it is to stop. */
class Packer
{
public:
    Packer (ArchiveLimits limitsToUse, StopCheck& stopToUse) : limits (limitsToUse), stop (stopToUse) {}

    /** True once an item went beyond the limits: there is nothing to send. */
    bool isFull() const noexcept   { return full; }

    void add (juce::File const& selected)
    {
        std::vector<Folder> path;   // from the selected folder down to the one being read
        visit (selected, selected.getFileName(), path);

        while (! path.empty() && ! full && ! stop())
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
        if (full || stop())
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
                return beyondLimits (item, juce::String (limits.maxFolders) + " folders are walked at most");

            path.push_back ({ info.st_dev, info.st_ino, storedPath,
                              item.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no) });
        }
        else if (S_ISREG (info.st_mode))
        {
            if (::access (name.toRawUTF8(), R_OK) != 0)
                return leaveOut (item, "it cannot be read");

            if (files >= limits.maxEntries)
                return beyondLimits (item, "an archive holds at most " + juce::String (limits.maxEntries) + " files");

            if (info.st_size > limits.maxBytes - bytes)
                return beyondLimits (item, "an archive holds at most " + juce::String (limits.maxBytes) + " bytes");

            ++files;
            bytes += info.st_size;
            builder.addEntry (new FileHead (item, info.st_size, stop), compressionLevel, storedPath,
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

    // A cut archive would be offered on the other side as if it were all that
    // was copied: nothing is sent instead.
    void beyondLimits (juce::File const& item, juce::String const& reason)
    {
        full = true;
        DBGOrLog ("Send clipboard files: sending none, " + item.getFullPathName() + " lies beyond the bound: " + reason);
    }

    ArchiveLimits const limits;
    StopCheck& stop;
    juce::int64 bytes = 0;
    int files = 0, folders = 0;
    bool full = false;
};

/** What may still be written into a folder: the free space of its file system
    less a reserve for everything else, a tenth of it but at most 1 GiB. */
juce::int64 spaceToWrite (juce::File const& folder)
{
    auto const reserve = juce::jmin (folder.getVolumeTotalSize() / 10, (juce::int64) 1 << 30);
    return juce::jmax ((juce::int64) 0, folder.getBytesFreeOnVolume() - reserve);
}

juce::String cannotWrite()
{
    return "it cannot be written: " + juce::String (std::strerror (errno));
}

bool writeAll (int fd, char const* data, size_t size)
{
    for (auto const* end = data + size; data < end;)
    {
        auto const done = ::write (fd, data, (size_t) (end - data));

        if (done < 0 && errno == EINTR)
            continue;

        if (done <= 0)
            return false;

        data += done;
    }

    return true;
}

/** Writes a received archive into a new file, up to the space that may be
    written; what went wrong (and nothing written), or an empty text. Not
    synced to disk, as juce::FileOutputStream would: it is unpacked and
    deleted soon. */
juce::String writeReceived (juce::MemoryBlock const& content, juce::File const& file)
{
    auto const space = spaceToWrite (file.getParentDirectory());

    if ((juce::int64) content.getSize() > space)
        return "its " + juce::String ((juce::int64) content.getSize()) + " bytes are more than the "
               + juce::String (space) + " that may be written";

    int const fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);

    if (fd < 0)
        return cannotWrite();

    auto problem = writeAll (fd, static_cast<char const*> (content.getData()), content.getSize()) ? juce::String() : cannotWrite();

    if (::close (fd) != 0 && problem.isEmpty())
        problem = cannotWrite();

    if (problem.isNotEmpty())
        file.deleteFile();

    return problem;
}

/** One archive's unpacking, entry by entry. It remembers the items it made
    directly in the folder, so that a failed unpacking can take back what it
    made. An entry is written up to the size it gives, and no further. */
class Unpacking
{
public:
    Unpacking (juce::ZipFile& zipToUse, juce::File const& folderToUse) : zip (zipToUse), folder (folderToUse) {}

    /** Unpacks entry 'index' (no link); what went wrong, or an empty text. */
    juce::String unpack (int index)
    {
        auto const& entry = *zip.getEntry (index);
        auto const entryPath = entry.filename.replaceCharacter ('\\', '/');

        if (entryPath.isEmpty())
            return {};

        auto const target = folder.getChildFile (entryPath);

        if (! target.isAChildOf (folder))
            return "it lies outside the folder";

        // Deeper than any path the system takes (and than a walk up it should go).
        if (target.getFullPathName().getNumBytesAsUTF8() >= PATH_MAX)
            return "its path is too long";

        if (leadsThroughLink (target))
            return "its folder is a link";

        noteIfNew (target);

        if (entryPath.endsWithChar ('/'))
            return target.createDirectory() ? juce::String() : "its folder cannot be made";

        if (! target.getParentDirectory().createDirectory())
            return "its folder cannot be made";

        if ((target.exists() || target.isSymbolicLink()) && ! target.deleteFile())
            return "what is there cannot be replaced";

        std::unique_ptr<juce::InputStream> in (zip.createStreamForEntry (index));

        if (in == nullptr)
            return "it cannot be read";

        // Written as a new file, never through a link; not synced to disk,
        // as juce::FileOutputStream would for every file: these are
        // temporary files, and a sync each would cost seconds for many.
        int const fd = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);

        if (fd < 0)
            return cannotWrite();

        auto problem = copy (*in, fd, entry.uncompressedSize);

        if (::close (fd) != 0 && problem.isEmpty())
            problem = cannotWrite();

        if (problem.isEmpty())
            target.setLastModificationTime (entry.fileTime);

        return problem;
    }

    void removeWhatWasMade()
    {
        for (auto const& item : made)
        {
            if (item.isDirectory() && ! item.isSymbolicLink())
                item.deleteRecursively (false);
            else
                item.deleteFile();
        }
    }

private:
    // Copies an entry's content, which must be of the size it gives.
    juce::String copy (juce::InputStream& in, int fd, juce::int64 size)
    {
        juce::int64 copied = 0;

        for (int n; (n = in.read (buffer.data(), (int) buffer.size())) > 0;)
        {
            if ((copied += n) > size)
                return "it holds more than it says";

            if (! writeAll (fd, buffer.data(), (size_t) n))
                return cannotWrite();
        }

        return copied == size ? juce::String() : "it is cut short";
    }

    // True when a folder between the folder and the target is a link.
    bool leadsThroughLink (juce::File const& target) const
    {
        for (auto f = target.getParentDirectory(); f != folder; f = f.getParentDirectory())
            if (f.isSymbolicLink())
                return true;

        return false;
    }

    void noteIfNew (juce::File const& target)
    {
        auto top = target;

        while (top.getParentDirectory() != folder)
            top = top.getParentDirectory();

        if (! top.exists() && ! top.isSymbolicLink())
            made.add (top);
    }

    juce::ZipFile& zip;
    juce::File const folder;
    juce::Array<juce::File> made;
    std::vector<char> buffer = std::vector<char> (65536);
};
} // namespace

juce::File packFiles (juce::Array<juce::File> const& files, ArchiveLimits limits, std::function<bool()> const& shouldStop)
{
    StopCheck stop (shouldStop);
    Packer packer (limits, stop);

    for (auto const& item : files)
        packer.add (item);

    auto folder = getOutgoingFolder();

    if (packer.isFull() || stop() || folder == juce::File())
        return {};

    // Written under a name of its own and renamed over the archive once
    // complete: a transfer that reads the archive meanwhile reads a whole one.
    auto partial = folder.getNonexistentChildFile ("packing", ".zip", false);
    auto archive = folder.getChildFile (archiveName);
    bool written = false;

    {
        juce::FileOutputStream out (partial, archiveBufferSize);

        if (out.openedOk())
        {
            written = packer.builder.writeToStream (out, nullptr);
            out.flush();
            written = written && out.getStatus().wasOk();
        }
    }

    written = written && ::rename (partial.getFullPathName().toRawUTF8(), archive.getFullPathName().toRawUTF8()) == 0;

    if (! written)
    {
        // Nothing rather than a cut archive: the receiver then gets no files.
        if (! stop())
            DBGOrLog ("Send clipboard files: the archive cannot be written, sending none");

        partial.deleteFile();
        return {};
    }

    return archive;
}

//==============================================================================
ClipboardPacker::ClipboardPacker (Send sendToUse, ArchiveLimits limitsToUse)
    : juce::Thread ("ClipboardPacker"), send (std::move (sendToUse)), limits (limitsToUse)
{
    startThread();
}

ClipboardPacker::~ClipboardPacker()
{
    // A packing in progress stops at its next item or read.
    signalThreadShouldExit();
    notify();
    waitForThreadToExit (-1);
}

void ClipboardPacker::pack (juce::Array<juce::File> const& filesToPack, int targetID)
{
    int replaced = -1;

    {
        const std::lock_guard<std::mutex> sl (lock);
        replaced = pending ? target : -1;
        files = filesToPack;
        target = targetID;
        pending = true;
        ++requests;
    }

    if (replaced >= 0)
        logReplaced (replaced);

    notify();
}

void ClipboardPacker::logReplaced (int targetID)
{
    DBGOrLog ("Send clipboard files: a newer clipboard replaces the one packed for " + juce::String (targetID));
}

void ClipboardPacker::run()
{
    while (! threadShouldExit())
    {
        juce::Array<juce::File> next;
        int nextTarget = -1;
        juce::uint32 request = 0;
        bool has = false;

        {
            const std::lock_guard<std::mutex> sl (lock);
            std::swap (has, pending);

            if (has)
            {
                next.swapWith (files);
                nextTarget = target;
                request = requests.load();
            }
        }

        if (! has)
        {
            wait (-1);   // pack() and the destructor wake it
            continue;
        }

        auto const superseded = [this, request] { return threadShouldExit() || requests.load() != request; };
        auto const archive = packFiles (next, limits, superseded);

        if (superseded())
        {
            if (threadShouldExit())
                DBGOrLog ("Send clipboard files: the program is stopping, sending none");
            else
                logReplaced (nextTarget);

            continue;
        }

        if (archive != juce::File())
            send (archive, nextTarget);
    }
}

bool unpackArchive (juce::InputStream& archive, juce::File const& folder, ArchiveLimits limits)
{
    juce::ZipFile zip (archive);
    auto const entries = zip.getNumEntries();
    auto const budget = juce::jmin (limits.maxBytes, spaceToWrite (folder));

    auto const refuse = [] (juce::String const& why)
    {
        DBGOrLog ("ClientFileTransfer receiver: not unpacking the archive, " + why);
        return false;
    };

    if (entries > limits.maxEntries)
        return refuse ("it holds " + juce::String (entries) + " entries, more than " + juce::String (limits.maxEntries));

    // What the entries say they hold, checked before anything is written; no
    // entry is written beyond what it says.
    juce::int64 declared = 0;
    int links = 0;

    for (int i = 0; i < entries; ++i)
    {
        auto const* entry = zip.getEntry (i);
        links += entry->isSymbolicLink ? 1 : 0;
        declared += entry->isSymbolicLink ? 0 : entry->uncompressedSize;
    }

    if (declared > budget)
        return refuse ("its files would take " + juce::String (declared) + " bytes, more than the "
                       + juce::String (budget) + " that may be written");

    // A link could point anywhere, and a later entry written through it
    // would land there: links are never made.
    if (links > 0)
        DBGOrLog ("ClientFileTransfer receiver: skipping " + juce::String (links) + " symbolic link(s)");

    Unpacking unpacking (zip, folder);

    for (int i = 0; i < entries; ++i)
    {
        auto const* entry = zip.getEntry (i);

        if (entry->isSymbolicLink)
            continue;

        auto const problem = juce::Thread::currentThreadShouldExit() ? juce::String ("the program is stopping")
                                                                     : unpacking.unpack (i);

        if (problem.isNotEmpty())
        {
            unpacking.removeWhatWasMade();
            DBGOrLog ("ClientFileTransfer receiver: cannot unpack " + Logging::excerpt (entry->filename.quoted()) + ", " + problem
                      + "; removed what this transfer unpacked");
            return false;
        }
    }

    return true;
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

juce::uint32 ClientIPC::ClientFileTransferIPC::getLastActivityTime() const noexcept
{
    // The later of the two, on a counter that wraps.
    auto const message = lastActivity.load();
    auto const bytes = getLastReceiveTime();
    return (juce::int32) (bytes - message) > 0 ? bytes : message;
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
    // One file per transfer: its connection is done with it. The archive is
    // written beside the transfer folder, which the unpacking empties.
    state = State::ended;
    auto archive = AppTempFolder::get();

    if (archive != juce::File())
    {
        archive = archive.getNonexistentChildFile ("received", ".zip", false);
        auto const problem = FileTransfer::writeReceived (message, archive);

        if (problem.isNotEmpty())
        {
            DBGOrLog ("ClientFileTransfer receiver: not unpacking the received file, " + problem);
            archive = juce::File();
        }
    }

    if (unpackLater != nullptr)
        unpackLater (archive);
}

//==============================================================================
/** Unpacks received archives into the transfer folder, one after the other,
    and hands the unpacked items to the client. */
class ClientIPC::ClientFileTransferIPCServer::Unpacker : public juce::Thread
{
public:
    explicit Unpacker (ClientIPC& ownerToUse) : juce::Thread ("FileTransferUnpacker"), owner (ownerToUse) {}

    ~Unpacker() override
    {
        // An archive being unpacked stops at its next entry.
        signalThreadShouldExit();
        notify();
        waitForThreadToExit (-1);
        waiting.deleteFile();
    }

    /** Takes an archive (or juce::File() for one that could not be kept: no
        files) and deletes it once unpacked; a newer one replaces an archive
        still waiting. */
    void add (juce::File const& archive)
    {
        {
            const std::lock_guard<std::mutex> lock (waitingLock);

            if (hasWaiting)
            {
                DBGOrLog ("ClientFileTransfer receiver: a newer transfer replaces one not yet unpacked");
                waiting.deleteFile();
            }

            waiting = archive;
            hasWaiting = true;
        }

        notify();
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            juce::File archive;
            bool has = false;

            {
                const std::lock_guard<std::mutex> lock (waitingLock);
                std::swap (archive, waiting);
                std::swap (has, hasWaiting);
            }

            if (has)
                unpack (archive);
            else
                wait (-1);
        }
    }

private:
    void unpack (juce::File const& archive)
    {
        auto folder = FileTransfer::getTransferFolder();

        if (folder == juce::File())
        {
            DBGOrLog ("ClientFileTransfer receiver: no temporary folder");
            archive.deleteFile();
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

        if (archive != juce::File())
        {
            {
                juce::FileInputStream in (archive);

                if (in.openedOk())
                    FileTransfer::unpackArchive (in, folder);
            }

            archive.deleteFile();
        }

        auto received = folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                               juce::File::FollowSymlinks::no);
        owner.postToMessageThread ([received] (ClientIPC& client) { client.addMultipleFilesOrDirsToClipboard (received); });

        DBGOrLog ("Transferred clipboard file(s)");
    }

    ClientIPC& owner;
    std::mutex waitingLock;
    juce::File waiting;          // the next archive
    bool hasWaiting = false;
};

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
    : ConnectionListener ("FileTransferListener"), port (portToUse), owner (ownerToUse), limits (limitsToUse),
      unpacker (std::make_unique<Unpacker> (*ownerToUse))
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

    std::vector<Held> remaining;

    {
        const std::lock_guard<std::mutex> lock (receiversLock);
        remaining.swap (receivers);
    }

    remaining.clear();   // before the unpacker they hand archives to
    unpacker.reset();
}

bool ClientIPC::ClientFileTransferIPCServer::beginListening()
{
    if (! beginWaitingForSocket (port, {}))
        return false;

    if (sweeper == nullptr)
    {
        unpacker->startThread();
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

bool ClientIPC::ClientFileTransferIPCServer::acceptsConnectionFrom (juce::String const& peerAddress)
{
    const std::lock_guard<std::mutex> lock (receiversLock);
    int held = 0;

    for (auto const& receiver : receivers)
        if (receiver.connection->getState() != ClientFileTransferIPC::State::ended
             && receiver.connection->getConnectedHostName() == peerAddress)
            ++held;

    if (held < limits.maxPerAddress)
        return true;

    DBGOrLog ("File transfer server: " + juce::String (held) + " open transfers from " + peerAddress
              + " already, refusing a connection");
    return false;
}

FramedConnection* ClientIPC::ClientFileTransferIPCServer::createConnectionObject()
{
    const std::lock_guard<std::mutex> lock (receiversLock);

    if ((int) receivers.size() >= limits.maxConnections)
    {
        DBGOrLog ("File transfer server: too many open transfers, refusing a connection");
        return nullptr;
    }

    Held held;
    held.connection = std::make_unique<ClientFileTransferIPC> (juce::File(), true, owner);
    held.connection->unpackLater = [this] (juce::File const& archive) { unpacker->add (archive); };
    receivers.push_back (std::move (held));
    return receivers.back().connection.get();
}

void ClientIPC::ClientFileTransferIPCServer::connectionTaken (FramedConnection& connection)
{
    // From here on the listener's thread no longer uses the connection, and
    // the sweeper may release it.
    const std::lock_guard<std::mutex> lock (receiversLock);

    for (auto& held : receivers)
        if (held.connection.get() == &connection)
            held.handingOver = false;
}

bool ClientIPC::ClientFileTransferIPCServer::tooSlow (Held& held, juce::uint32 now) const
{
    auto const bytes = held.connection->getBytesReceived();

    if (! held.windowOpen)
    {
        held.windowOpen = true;
        held.windowStart = now;
        held.bytesAtWindowStart = bytes;
        return false;
    }

    auto const elapsed = now - held.windowStart;

    if (elapsed < (juce::uint32) limits.rateWindowMs)
        return false;

    auto const arrived = bytes - held.bytesAtWindowStart;

    if (arrived * 1000 < (juce::uint64) limits.minBytesPerSecond * elapsed)
    {
        DBGOrLog ("File transfer server: closing the transfer from " + held.connection->getConnectedHostName() + ", "
                  + juce::String ((juce::int64) arrived) + " bytes arrived in " + juce::String (elapsed) + " ms, less than "
                  + juce::String (limits.minBytesPerSecond) + " a second");
        return true;
    }

    held.windowStart = now;
    held.bytesAtWindowStart = bytes;
    return false;
}

void ClientIPC::ClientFileTransferIPCServer::releaseFinishedReceivers()
{
    std::vector<Held> finished;

    {
        const std::lock_guard<std::mutex> lock (receiversLock);

        // Read under the lock, so that no receiver made meanwhile looks aeons old.
        auto const now = juce::Time::getMillisecondCounter();
        for (auto it = receivers.begin(); it != receivers.end();)
        {
            // The listener's thread still uses a connection it hands over.
            if (it->handingOver)
            {
                ++it;
                continue;
            }

            auto& receiver = *it->connection;
            auto age = now - receiver.getCreationTime();
            auto idle = now - receiver.getLastActivityTime();
            auto state = receiver.getState();

            bool done = state == ClientFileTransferIPC::State::ended
                     || ! receiver.isConnected()
                     || (state == ClientFileTransferIPC::State::waitingForHeader && age > (juce::uint32) limits.headerTimeoutMs)
                     || (state == ClientFileTransferIPC::State::fileExpected
                          && (idle > (juce::uint32) limits.fileTimeoutMs || tooSlow (*it, now)));

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
