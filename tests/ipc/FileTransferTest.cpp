// File transfer on real sockets, against raw peers where that checks more: the
// three messages, packing, unpacking, hostile input, releasing connections.

#include "ipc/ClientFileTransfer.h"
#include "support/LogCapture.h"
#include "support/ClientHarness.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr int receiverPort = 47001;

juce::File makeFile (juce::File const& file, juce::String const& content)
{
    file.getParentDirectory().createDirectory();
    file.replaceWithText (content);
    return file;
}

// Everything below a folder, sorted; symbolic links end in '@'.
juce::String namesIn (juce::File const& folder)
{
    juce::StringArray names;

    for (auto const& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder) + (f.isSymbolicLink() ? "@" : ""));

    names.sort (false);
    return names.joinIntoString ("|");
}

// A receiving machine: a client whose file-transfer listener waits on receiverPort.
struct Receiver
{
    explicit Receiver (FileTransfer::Limits limits = {})
    {
        client.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (receiverPort, &client, limits);
        EXPECT_TRUE (client.fileTransferServer->beginListening());
    }

    // The names handed to the clipboard by the next transfer.
    juce::String handOver()
    {
        EXPECT_TRUE (client.waitFor ("addMultipleFilesOrDirsToClipboard", 1, 20000));
        auto calls = client.callTexts (true);
        client.clearCalls();
        return calls;
    }

    int receivers() const { return client.fileTransferServer->getNumReceivers(); }

    RecordingClient client;
};

// A raw peer of the receiver, running the message loop while it waits.
std::unique_ptr<WirePeer::Stream> connect (int port = receiverPort)
{
    auto stream = WirePeer::Stream::connect (TestEnvironment::testAddress, port);

    if (stream != nullptr)
        stream->setPumping (true);

    return stream;
}

// A raw sender: the header, the answer to it, then the payload.
std::unique_ptr<WirePeer::Stream> rawSend (juce::String const& name, juce::MemoryBlock const& payload)
{
    auto stream = connect();

    if (stream != nullptr)
    {
        stream->writeFrame ("Filename: " + name + " fromDrag: false");
        EXPECT_EQ (stream->readText (5000), "Filename received!");
        stream->writeFrame (payload);
    }

    return stream;
}

bool unpack (juce::File const& archive, juce::File const& folder, FileTransfer::ArchiveLimits limits = {})
{
    juce::FileInputStream in (archive);
    return FileTransfer::unpackArchive (in, folder, limits);
}

// The entries of an archive, each with its content.
juce::String entriesOf (juce::File const& archive)
{
    juce::ZipFile zip (archive);
    juce::StringArray entries;

    for (int i = 0; i < zip.getNumEntries(); ++i)
    {
        std::unique_ptr<juce::InputStream> in (zip.createStreamForEntry (i));
        entries.add (zip.getEntry (i)->filename + "=" + (in != nullptr ? in->readEntireStreamAsString() : "?"));
    }

    entries.sort (false);
    return entries.joinIntoString (" ");
}
} // namespace

TEST (FileTransfer, HeaderNamesKeepTheirBlankAndOnlyTheirLastComponent)
{
    EXPECT_EQ (FileTransfer::readHeader ("Filename: zipOut.zip fromDrag: false").fileName, "zipOut.zip ");
    EXPECT_TRUE (FileTransfer::readHeader ("Filename: x fromDrag: true").fromDrag);
    EXPECT_FALSE (FileTransfer::readHeader ("Filename: x fromDrag: TRUE").fromDrag);
    EXPECT_FALSE (FileTransfer::readHeader ("fromDrag: true").hasName);

    std::pair<const char*, const char*> const names[] {
        { "zipOut.zip ", "zipOut.zip " }, { "../../etc/passwd ", "passwd " }, { "/tmp/abs.zip ", "abs.zip " },
        { "..\\..\\win.zip ", "win.zip " }, { ".. ", ".. " }, { "..", "" }, { ".", "" }, { "dir/", "" }, { "", "" },
    };

    for (auto [received, safe] : names)
        EXPECT_EQ (FileTransfer::safeFileName (received), safe) << received;
}

TEST (FileTransfer, SenderWaitsForTheExactAnswerAndANewTransferReplacesAnUnfinishedOne)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener raw (receiverPort);
    RecordingClient sender;
    auto file = makeFile (TestEnvironment::getHome().getChildFile ("out/data.bin"), juce::String::repeatedString ("0123456789", 10000));

    sender.openOutgoingFileTransfer (file, TestEnvironment::testAddress, receiverPort, false);
    auto first = raw.accept();
    ASSERT_NE (first, nullptr);
    first->setPumping (true);
    EXPECT_EQ (first->readText(), "Filename: data.bin fromDrag: false");   // never answered

    sender.openOutgoingFileTransfer (file, TestEnvironment::testAddress, receiverPort, true);
    EXPECT_TRUE (first->waitForClose (3000));
    auto second = raw.accept();
    ASSERT_NE (second, nullptr);
    second->setPumping (true);
    EXPECT_EQ (second->readFrame().value_or (juce::MemoryBlock()), juce::MemoryBlock ("Filename: data.bin fromDrag: true", 33));

    second->writeFrame ("Filename received");
    second->writeFrame ("filename received!");
    EXPECT_FALSE (second->readFrame (500).has_value());

    second->writeFrame ("Filename received!");
    juce::MemoryBlock expected;
    ASSERT_TRUE (file.loadFileAsData (expected));
    EXPECT_EQ (second->readFrame().value_or (juce::MemoryBlock()), expected);   // the whole file, one message
}

// One file; a folder with an empty subfolder and two files of the same name,
// replacing what came before; a payload that is no archive.
TEST (FileTransfer, ReceivedFilesAreUnpackedIntoTheTransferFolderAndHandedOver)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto folder = FileTransfer::getTransferFolder();
    auto sender = std::make_unique<RecordingClient>();
    auto base = TestEnvironment::getHome().getChildFile ("files");
    auto send = [&] (juce::Array<juce::File> files)
    {
        sender->openOutgoingFileTransfer (FileTransfer::packFiles (files), TestEnvironment::testAddress, receiverPort, false);
    };

    send ({ makeFile (base.getChildFile ("a.txt"), "alpha") });
    EXPECT_EQ (receiver.handOver(), "addMultipleFilesOrDirsToClipboard a.txt @message");
    EXPECT_EQ (folder.getChildFile ("a.txt").loadFileAsString(), "alpha");
    EXPECT_EQ (namesIn (folder), "a.txt");   // the archive, received as "zipOut.zip ", is gone

    // Its file has arrived: the transfer is done while the sender still holds its connection.
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return receiver.receivers() == 0; }, 5000));

    sender = std::make_unique<RecordingClient>();
    auto docs = base.getChildFile ("Docs");
    makeFile (docs.getChildFile ("x/y.txt"), "why");
    docs.getChildFile ("e").createDirectory();
    send ({ docs, makeFile (base.getChildFile ("p/same.txt"), "first"), makeFile (base.getChildFile ("q/same.txt"), "second") });
    EXPECT_EQ (receiver.handOver(), "addMultipleFilesOrDirsToClipboard Docs|same.txt @message");
    EXPECT_EQ (namesIn (folder), "Docs|Docs/x|Docs/x/y.txt|same.txt");
    EXPECT_EQ (folder.getChildFile ("same.txt").loadFileAsString(), "second");

    auto stream = rawSend ("zipOut.zip", juce::MemoryBlock ("not a zip", 9));
    ASSERT_NE (stream, nullptr);
    EXPECT_EQ (receiver.handOver(), "addMultipleFilesOrDirsToClipboard @message");
    EXPECT_EQ (namesIn (folder), "");
}

// Links are packed as what they point to, a folder as often as it is reached; a
// dangling link and a link back into a folder it lies in are left out, and each
// one left out is logged.
TEST (FileTransfer, LinksArePackedAsWhatTheyPointTo)
{
    LogCapture log;
    auto base = TestEnvironment::getHome().getChildFile ("linked");
    auto docs = base.getChildFile ("Docs");
    makeFile (docs.getChildFile ("a.txt"), "alpha");
    auto outside = makeFile (base.getChildFile ("outside.txt"), "far");
    makeFile (base.getChildFile ("Pics/p.txt"), "pic");

    ASSERT_TRUE (outside.createSymbolicLink (docs.getChildFile ("fileLink"), false));
    ASSERT_TRUE (base.getChildFile ("Pics").createSymbolicLink (docs.getChildFile ("dirLink"), false));
    ASSERT_TRUE (base.getChildFile ("gone").createSymbolicLink (docs.getChildFile ("dangling"), false));
    ASSERT_TRUE (docs.createSymbolicLink (docs.getChildFile ("loop"), false));
    ASSERT_TRUE (outside.createSymbolicLink (base.getChildFile ("topLink"), false));

    // Pics, reached through Docs/dirLink first, is selected too.
    auto archive = FileTransfer::packFiles ({ docs, base.getChildFile ("topLink"), base.getChildFile ("Pics") });
    EXPECT_EQ (entriesOf (archive), "Docs/a.txt=alpha Docs/dirLink/p.txt=pic Docs/fileLink=far Pics/p.txt=pic topLink=far");
    EXPECT_EQ (log.countMentioning ("Send clipboard files: leaving out "), 2);
    EXPECT_TRUE (log.mentions ("leaving out " + docs.getChildFile ("dangling").getFullPathName()));
    EXPECT_TRUE (log.mentions ("leaving out " + docs.getChildFile ("loop").getFullPathName()));
}

TEST (FileTransfer, PackingWalksAnyDepthAndStopsAtItsLimits)
{
    LogCapture log;
    auto base = TestEnvironment::getHome().getChildFile ("walk");

    // 2,000 folders one in the other, deeper than a thread's stack held when
    // each level kept a path buffer; made each in the one before, as the
    // deepest lie beyond the longest path the system takes.
    auto deep = base.getChildFile ("deep");
    ASSERT_TRUE (deep.createDirectory());
    int at = ::open (deep.getFullPathName().toRawUTF8(), O_DIRECTORY | O_RDONLY);

    for (int i = 0; i < 2000 && at >= 0; ++i)
    {
        ::mkdirat (at, "d", 0700);
        int const inner = ::openat (at, "d", O_DIRECTORY | O_RDONLY);
        ::close (at);
        at = inner;
    }

    ASSERT_GE (at, 0);
    ::close (at);
    makeFile (deep.getChildFile (juce::String::repeatedString ("d/", 1000) + "f.txt"), "middle");
    EXPECT_EQ (entriesOf (FileTransfer::packFiles ({ deep })), "deep/" + juce::String::repeatedString ("d/", 1000) + "f.txt=middle");

    // Files beyond the limits (a link to the home folder, say) send no archive
    // at all: a cut one would be offered on the other side as if complete.
    for (auto name : { "one", "two", "three" })
        makeFile (base.getChildFile ("few").getChildFile (name), "0123456789");

    ASSERT_TRUE (TestEnvironment::getHome().createSymbolicLink (base.getChildFile ("homeLink"), false));
    FileTransfer::ArchiveLimits limits;
    limits.maxEntries = 2;
    EXPECT_EQ (FileTransfer::packFiles ({ base.getChildFile ("homeLink") }, limits), juce::File());
    EXPECT_EQ (log.countMentioning ("Send clipboard files: sending none, " + base.getChildFile ("homeLink").getFullPathName() + "/"), 1);
    EXPECT_EQ (log.countMentioning (" lies beyond the bound: an archive holds at most 2 files"), 1);

    limits = {};
    limits.maxBytes = 25;
    EXPECT_EQ (FileTransfer::packFiles ({ base.getChildFile ("few") }, limits), juce::File());
    EXPECT_EQ (log.countMentioning (" lies beyond the bound: an archive holds at most 25 bytes"), 1);

    // Nor does the packing thread hand anything over; within the limits it does.
    std::atomic<int> sent { 0 };
    FileTransfer::ClipboardPacker packer ([&] (juce::File const& archive, int target)
    {
        EXPECT_EQ (juce::ZipFile (archive).getNumEntries(), 2);
        sent += target;
    }, limits);
    packer.pack ({ base.getChildFile ("few") }, 1);
    packer.pack ({ base.getChildFile ("few/one"), base.getChildFile ("few/two") }, 2);
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return sent.load() != 0; }, 10000));
    EXPECT_EQ (sent.load(), 2);
    EXPECT_EQ (namesIn (FileTransfer::getOutgoingFolder()), "zipOut.zip");
}

TEST (FileTransfer, NamesFromThePeerNeverLeaveTheTransferFolder)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto outside = FileTransfer::getTransferFolder().getParentDirectory();
    auto workingFolder = TestEnvironment::getHome().getChildFile ("cwd");

    // What a received file would replace (and then delete) if its name were
    // taken as a path: a name with '~' in front is a file name like any other.
    juce::Array<juce::File> const planted { outside.getChildFile ("escape.bin "), outside.getSiblingFile ("escape.bin "),
                                            outside.getChildFile ("abs.bin "), FileTransfer::childNamed (workingFolder, "~nobody-here ") };

    for (auto const& file : planted)
        makeFile (file, "keep");

    ASSERT_TRUE (workingFolder.setAsCurrentWorkingDirectory());

    for (auto name : juce::StringArray { "../escape.bin", "../../escape.bin", outside.getChildFile ("abs.bin").getFullPathName(),
                                         "~nobody-here", "~", "~root" })
    {
        auto stream = rawSend (name, juce::MemoryBlock ("plain bytes", 11));
        ASSERT_NE (stream, nullptr);
        EXPECT_EQ (receiver.handOver(), "addMultipleFilesOrDirsToClipboard @message") << name;
    }

    for (auto const& file : planted)
        EXPECT_EQ (file.loadFileAsString(), "keep") << file.getFullPathName();

    // "..", "." and an empty name are refused: no answer, connection released.
    for (auto name : { "..", ".", "" })
    {
        auto stream = connect();
        ASSERT_NE (stream, nullptr);
        stream->writeFrame ("Filename: " + juce::String (name) + "fromDrag: false");
        EXPECT_FALSE (stream->readFrame (300).has_value()) << name;
        EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return stream->waitForClose (10); }, 5000)) << name;
    }
}

TEST (FileTransfer, AHeaderGoesIntoTheLogAsAnExcerpt)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    Receiver receiver;
    auto stream = connect();
    ASSERT_NE (stream, nullptr);
    stream->writeFrame ("Filename: " + juce::String::repeatedString ("n", 1000000) + " fromDrag: false");
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return log.mentions ("n... (1000026 characters)"); }, 10000));

    for (auto const& line : log.getLines())
        EXPECT_LT (line.length(), 1000) << line.substring (0, 100);
}

TEST (FileTransfer, SymbolicLinksInAnArchiveAreNeverMade)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto outside = TestEnvironment::getHome().getChildFile ("outside");
    auto craft = TestEnvironment::getHome().getChildFile ("craft");

    // A link to a file outside, then an entry of the same name; a link to a
    // folder outside, then an entry below it.
    auto target = makeFile (outside.getChildFile ("target.txt"), "only while the archive is made");
    auto plain = makeFile (craft.getChildFile ("plain.txt"), "written through the link");
    ASSERT_TRUE (target.createSymbolicLink (craft.getChildFile ("flink"), false));
    ASSERT_TRUE (outside.createSymbolicLink (craft.getChildFile ("dlink"), false));

    juce::ZipFile::Builder builder;
    builder.addFile (craft.getChildFile ("flink"), 0, "flink");
    builder.addFile (plain, 0, "flink");
    builder.addFile (craft.getChildFile ("dlink"), 0, "dlink");
    builder.addFile (plain, 0, "dlink/inside.txt");
    builder.addFile (plain, 0, "kept.txt");
    juce::MemoryOutputStream zip;
    ASSERT_TRUE (builder.writeToStream (zip, nullptr));
    ASSERT_TRUE (target.deleteFile());   // the link now dangles

    {
        juce::MemoryInputStream in (zip.getData(), zip.getDataSize(), false);
        ASSERT_TRUE (juce::ZipFile (in).getEntry (0)->isSymbolicLink);
    }

    auto stream = rawSend ("zipOut.zip", zip.getMemoryBlock());
    ASSERT_NE (stream, nullptr);
    receiver.handOver();

    auto folder = FileTransfer::getTransferFolder();
    EXPECT_EQ (namesIn (outside), "");
    EXPECT_FALSE (namesIn (folder).contains ("@"));
    EXPECT_EQ (folder.getChildFile ("flink").loadFileAsString(), "written through the link");
    EXPECT_EQ (folder.getChildFile ("kept.txt").loadFileAsString(), "written through the link");
}

// Unpacking refuses an archive beyond the limits before writing, and at a write
// error it stops and removes what it wrote.
TEST (FileTransfer, UnpackingStopsAtALimitOrAWriteErrorAndKeepsNothing)
{
    LogCapture log;
    auto base = TestEnvironment::getHome().getChildFile ("unpacking");
    auto folder = base.getChildFile ("into");
    ASSERT_TRUE (folder.createDirectory());

    juce::ZipFile::Builder builder;
    builder.addFile (makeFile (base.getChildFile ("a.txt"), "alpha"), 9, "a.txt");
    builder.addFile (makeFile (base.getChildFile ("zeros"), juce::String::repeatedString ("0", 300000)), 9, "big/zeros");
    builder.addFile (makeFile (base.getChildFile ("c.txt"), "gamma"), 9, "c.txt");
    auto archive = base.getChildFile ("archive.zip");
    {
        juce::FileOutputStream out (archive);
        ASSERT_TRUE (out.openedOk() && builder.writeToStream (out, nullptr));
    }
    ASSERT_LT (archive.getSize(), 10000);

    FileTransfer::ArchiveLimits fewEntries, fewBytes;
    fewEntries.maxEntries = 2;
    fewBytes.maxBytes = 100000;
    EXPECT_FALSE (unpack (archive, folder, fewEntries));
    EXPECT_FALSE (unpack (archive, folder, fewBytes));
    EXPECT_EQ (namesIn (folder), "");
    EXPECT_EQ (log.countMentioning ("ClientFileTransfer receiver: not unpacking the archive, "), 2);

    // Files larger than 64 KB cannot be written.
    rlimit const before = [] { rlimit r {}; getrlimit (RLIMIT_FSIZE, &r); return r; }();
    rlimit small = before;
    small.rlim_cur = 65536;
    auto const oldHandler = std::signal (SIGXFSZ, SIG_IGN);
    ASSERT_EQ (setrlimit (RLIMIT_FSIZE, &small), 0);
    auto const unpacked = unpack (archive, folder);
    setrlimit (RLIMIT_FSIZE, &before);
    std::signal (SIGXFSZ, oldHandler);

    EXPECT_FALSE (unpacked);
    EXPECT_EQ (namesIn (folder), "");
    EXPECT_TRUE (log.mentions ("ClientFileTransfer receiver: cannot unpack \"big/zeros\", it cannot be written: "));

    EXPECT_TRUE (unpack (archive, folder));
    EXPECT_EQ (namesIn (folder), "a.txt|big|big/zeros|c.txt");
}

// On a file system of 1 MB, an archive is unpacked only while a tenth of it stays free.
TEST (FileTransfer, UnpackingKeepsAReserveOfTheFileSystemFree)
{
    auto base = TestEnvironment::getHome().getChildFile ("reserve");
    auto small = base.getChildFile ("small");
    ASSERT_TRUE (small.createDirectory());

    if (::mount ("tmpfs", small.getFullPathName().toRawUTF8(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a file system here: " << std::strerror (errno);

    struct Unmount { juce::File at; ~Unmount() { ::umount2 (at.getFullPathName().toRawUTF8(), MNT_DETACH); } } unmount { small };

    auto archiveOf = [&] (int size)
    {
        juce::ZipFile::Builder builder;
        builder.addFile (makeFile (base.getChildFile ("zeros"), juce::String::repeatedString ("0", size)), 9, "zeros");
        auto archive = base.getChildFile ("archive" + juce::String (size) + ".zip");
        juce::FileOutputStream out (archive);
        EXPECT_TRUE (builder.writeToStream (out, nullptr));
        return archive;
    };

    EXPECT_FALSE (unpack (archiveOf (950000), small));
    EXPECT_EQ (namesIn (small), "");
    EXPECT_TRUE (unpack (archiveOf (500000), small));
    EXPECT_EQ (small.getChildFile ("zeros").getSize(), 500000);
}

// A connection that breaks off mid-frame, stays silent, sends no header or goes
// idle after it is released; beyond the limit one is refused at once.
TEST (FileTransfer, PeersThatBreakOffOrIdleAreReleased)
{
    REQUIRE_PRIVATE_NETWORK();
    FileTransfer::Limits limits;
    limits.headerTimeoutMs = 800;
    limits.fileTimeoutMs = 800;
    limits.maxConnections = 3;
    limits.maxPerAddress = 3;
    Receiver receiver (limits);

    auto broken = connect();
    ASSERT_NE (broken, nullptr);
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return receiver.receivers() == 1; }));
    broken->writeBytes ("\x2c\x9e", 2);   // half a frame header, then gone
    broken->close();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return receiver.receivers() == 0; }, 5000));

    auto silent = connect(), noHeader = connect(), idle = connect();
    ASSERT_TRUE (silent != nullptr && noHeader != nullptr && idle != nullptr);

    for (auto text : { "hello", "again" })   // answered, and still without a header
    {
        noHeader->writeFrame (text);
        EXPECT_EQ (noHeader->readText(), "Filename received!");
    }

    idle->writeFrame ("Filename: x fromDrag: false");
    EXPECT_EQ (idle->readText(), "Filename received!");

    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return receiver.receivers() == 3; }));
    auto fourth = connect();
    ASSERT_NE (fourth, nullptr);
    EXPECT_TRUE (fourth->waitForClose (3000));

    for (auto* stream : { silent.get(), noHeader.get(), idle.get() })
        EXPECT_TRUE (stream->waitForClose (5000));

    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return receiver.receivers() == 0; }));
    EXPECT_EQ (receiver.client.callTexts(), "");
}

// One address holds at most two transfers: the newest beyond are closed.
TEST (FileTransfer, OneAddressHoldsAtMostTwoTransfers)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto first = connect(), second = connect();
    ASSERT_TRUE (first != nullptr && second != nullptr);
    first->writeFrame ("Filename: x fromDrag: false");
    EXPECT_EQ (first->readText(), "Filename received!");

    auto third = connect();
    ASSERT_NE (third, nullptr);
    EXPECT_TRUE (third->waitForClose (5000));
    EXPECT_FALSE (first->waitForClose (300));
    EXPECT_FALSE (second->waitForClose (10));
    EXPECT_EQ (receiver.receivers(), 2);
}

// A file arriving over a slow but live link keeps its transfer; one whose bytes
// stop is closed after the file time-out, and one that trickles in below the
// minimum rate (a burst, then a byte now and then) after a rate window or two.
TEST (FileTransfer, AFileStillArrivingIsKeptAndOneThatStopsOrTricklesIsClosed)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    FileTransfer::Limits limits;
    limits.fileTimeoutMs = 800;
    limits.rateWindowMs = 1000;
    limits.minBytesPerSecond = 20000;
    limits.maxPerAddress = 3;
    Receiver receiver (limits);

    auto live = connect(), stopping = connect(), trickling = connect();
    ASSERT_TRUE (live != nullptr && stopping != nullptr && trickling != nullptr);

    for (auto* stream : { live.get(), stopping.get(), trickling.get() })
    {
        stream->writeFrame ("Filename: x fromDrag: false");
        EXPECT_EQ (stream->readText(), "Filename received!");
        stream->writeBytes ("\x2c\x9e\xb4\xf2\x00\x00\x40\x00", 8);   // a file of 4 MB is coming
    }

    juce::MemoryBlock const chunk (10000, true);
    trickling->writeBytes (juce::MemoryBlock (100000, true));

    for (int i = 0; i < 60; ++i)   // 3 s at 200 KB/s, three rate windows
    {
        live->writeBytes (chunk);

        if (i % 6 == 0)
            trickling->writeBytes ("z", 1);   // never idle for the file time-out

        EXPECT_FALSE (live->waitForClose (50)) << "after " << i + 1 << " chunks";
    }

    EXPECT_TRUE (stopping->waitForClose (10));
    EXPECT_TRUE (trickling->waitForClose (10));
    EXPECT_TRUE (log.mentions ("File transfer server: closing the transfer from " + juce::String (TestEnvironment::testAddress)));
    EXPECT_EQ (receiver.receivers(), 1);
}

// The listener's thread may stall while it hands a new connection its socket;
// the sweeper leaves that connection alone meanwhile (it once released it
// under the listener's hands).
TEST (FileTransfer, AConnectionBeingHandedOverIsNotReleased)
{
    REQUIRE_PRIVATE_NETWORK();

    struct StallingListener : ClientIPC::ClientFileTransferIPCServer
    {
        using ClientFileTransferIPCServer::ClientFileTransferIPCServer;
        ~StallingListener() override { stop(); }

        FramedConnection* createConnectionObject() override
        {
            auto* made = ClientFileTransferIPCServer::createConnectionObject();
            juce::Thread::sleep (1500);
            return made;
        }
    };

    RecordingClient client;
    client.fileTransferServer = std::make_unique<StallingListener> (receiverPort, &client);
    ASSERT_TRUE (client.fileTransferServer->beginListening());

    auto stream = connect();
    ASSERT_NE (stream, nullptr);
    stream->writeFrame ("Filename: x fromDrag: false");
    EXPECT_EQ (stream->readText (5000), "Filename received!");
    EXPECT_EQ (client.fileTransferServer->getNumReceivers(), 1);
}
