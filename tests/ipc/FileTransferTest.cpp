// File transfer between a sending and a receiving end on real sockets, and
// against raw peers: the three messages, packing, unpacking, hostile input.

#include "ipc/ClientFileTransfer.h"
#include "platform/AppTempFolder.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
constexpr int receiverPort = 47001;

juce::File makeFile (juce::File const& file, juce::String const& content)
{
    file.getParentDirectory().createDirectory();
    file.replaceWithText (content);
    return file;
}

juce::File scratch (juce::String const& name)
{
    auto folder = TestEnvironment::getHome().getChildFile (name);
    folder.createDirectory();
    return folder;
}

// A receiving machine: a client whose file-transfer listener waits on receiverPort.
struct Receiver
{
    explicit Receiver (FileTransfer::Limits limits = {})
    {
        client.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (receiverPort, &client, limits);
        EXPECT_TRUE (client.fileTransferServer->beginListening());
    }

    bool waitForHandOver (int count = 1) { return client.waitForCalls ("addMultipleFilesOrDirsToClipboard", count, 20000); }
    int receivers() const { return client.fileTransferServer->getNumReceivers(); }

    RecordingClient client;
};

void sendFiles (RecordingClient& sender, juce::Array<juce::File> const& files)
{
    sender.openOutgoingFileTransfer (FileTransfer::packFiles (files), TestEnvironment::testAddress, receiverPort, false);
}

juce::StringArray namesIn (juce::File const& folder)
{
    juce::StringArray names;

    for (auto const& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder) + (f.isSymbolicLink() ? "@" : ""));

    names.sort (false);
    return names;
}

std::vector<std::string> toStd (juce::StringArray const& a)
{
    std::vector<std::string> v;

    for (auto const& s : a)
        v.push_back (s.toStdString());

    return v;
}

// A raw sender: connects, sends the header, expects the reply, sends a payload.
std::unique_ptr<WirePeer::Stream> rawSend (juce::String const& header, std::optional<juce::MemoryBlock> payload,
                                           juce::String* reply = nullptr)
{
    auto stream = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);

    if (stream == nullptr)
        return nullptr;

    stream->writeFrame (header);
    auto answer = readFramePumping (*stream, 5000);

    if (reply != nullptr)
        *reply = answer ? answer->toString() : juce::String ("<none>");

    if (payload)
        stream->writeFrame (*payload);

    return stream;
}
} // namespace

TEST (FileTransfer, HeaderAndNamesOfReceivedFiles)
{
    EXPECT_EQ (FileTransfer::header ("zipOut.zip", false), "Filename: zipOut.zip fromDrag: false");
    EXPECT_EQ (FileTransfer::header ("a b.txt", true), "Filename: a b.txt fromDrag: true");
    EXPECT_EQ (FileTransfer::headerReceived(), "Filename received!");

    auto h = FileTransfer::readHeader ("Filename: zipOut.zip fromDrag: false");
    EXPECT_TRUE (h.hasName);
    EXPECT_EQ (h.fileName, "zipOut.zip ");
    EXPECT_FALSE (h.fromDrag);
    EXPECT_TRUE (FileTransfer::readHeader ("Filename: x fromDrag: true").fromDrag);
    EXPECT_FALSE (FileTransfer::readHeader ("Filename: x fromDrag: TRUE").fromDrag);
    EXPECT_EQ (FileTransfer::readHeader ("Filename: no marker").fileName, "no marker");
    EXPECT_FALSE (FileTransfer::readHeader ("fromDrag: true").hasName);

    EXPECT_EQ (FileTransfer::safeFileName ("zipOut.zip "), "zipOut.zip ");
    EXPECT_EQ (FileTransfer::safeFileName ("../../etc/passwd "), "passwd ");
    EXPECT_EQ (FileTransfer::safeFileName ("/tmp/abs.zip "), "abs.zip ");
    EXPECT_EQ (FileTransfer::safeFileName ("..\\..\\win.zip "), "win.zip ");
    EXPECT_EQ (FileTransfer::safeFileName (".. "), ".. ");   // a real name, inside the folder
    EXPECT_EQ (FileTransfer::safeFileName (".."), "");
    EXPECT_EQ (FileTransfer::safeFileName ("."), "");
    EXPECT_EQ (FileTransfer::safeFileName ("dir/"), "");
    EXPECT_EQ (FileTransfer::childNamed (juce::File ("/a/b"), "~root"), juce::File ("/a/b/~root"));
    EXPECT_EQ (FileTransfer::safeFileName (""), "");
}

TEST (FileTransfer, TransferFolderIsPrivateAndNotTheSystemTempFolder)
{
    auto system = juce::File::getSpecialLocation (juce::File::tempDirectory);
    auto folder = FileTransfer::getTransferFolder();
    EXPECT_TRUE (folder.isDirectory());
    EXPECT_EQ (folder.getFileName(), "Corvelline");
    EXPECT_TRUE (folder.isAChildOf (system));
    EXPECT_EQ (folder.getParentDirectory(), AppTempFolder::get());
    EXPECT_NE (folder.getParentDirectory(), system);
}

TEST (FileTransfer, SenderWritesHeaderThenTheWholeFileAndIgnoresOtherAnswers)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener raw (receiverPort);
    RecordingClient sender;
    auto file = makeFile (scratch ("out").getChildFile ("data.bin"), juce::String::repeatedString ("0123456789", 10000));

    sender.openOutgoingFileTransfer (file, TestEnvironment::testAddress, receiverPort, true);
    auto stream = raw.accept();
    ASSERT_NE (stream, nullptr);

    auto header = readFramePumping (*stream);
    ASSERT_TRUE (header.has_value());
    EXPECT_EQ (*header, juce::MemoryBlock ("Filename: data.bin fromDrag: true", 33));

    stream->writeFrame ("Filename received");
    stream->writeFrame ("filename received!");
    EXPECT_FALSE (readFramePumping (*stream, 500).has_value());

    stream->writeFrame ("Filename received!");
    auto content = readFramePumping (*stream);
    ASSERT_TRUE (content.has_value());
    juce::MemoryBlock expected;
    file.loadFileAsData (expected);
    EXPECT_EQ (*content, expected);
}

TEST (FileTransfer, OneFileArrivesOnTheClipboardAndTheConnectionIsReleased)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    Receiver receiver;
    auto sender = std::make_unique<RecordingClient>();
    auto a = makeFile (scratch ("one").getChildFile ("a.txt"), "alpha");

    sendFiles (*sender, { a });

    {
        juce::ZipFile zip (FileTransfer::getTransferFolder().getChildFile ("zipOut.zip"));
        ASSERT_EQ (zip.getNumEntries(), 1);
        EXPECT_EQ (zip.getEntry (0)->filename, "a.txt");
    }

    ASSERT_TRUE (receiver.waitForHandOver());
    auto folder = FileTransfer::getTransferFolder();
    EXPECT_THAT (receiver.client.getCallTexts(), ElementsAre ("addMultipleFilesOrDirsToClipboard a.txt"));
    EXPECT_TRUE (receiver.client.getCalls()[0].onMessageThread);
    EXPECT_EQ (receiver.client.getReceivedFiles()[0], folder.getChildFile ("a.txt"));
    EXPECT_EQ (folder.getChildFile ("a.txt").loadFileAsString(), "alpha");
    EXPECT_FALSE (folder.getChildFile ("zipOut.zip ").exists());   // written with its blank, then deleted
    EXPECT_TRUE (log.contains ("ClientFileTransfer receiver: Filename: zipOut.zip fromDrag: false"));
    EXPECT_TRUE (log.contains ("Transferred clipboard file(s)"));
    EXPECT_TRUE (log.contains ("ClientFileTransfer sender: send finished"));

    // The sender goes away: the receiving connection is released.
    sender.reset();
    EXPECT_TRUE (RecordingClient::waitUntil ([&] { return receiver.receivers() == 0; }));
}

TEST (FileTransfer, FolderWithEmptySubfolderAndTwoFilesOfTheSameName)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    RecordingClient sender;
    auto base = scratch ("tree");
    auto docs = base.getChildFile ("Docs");
    makeFile (docs.getChildFile ("x/y.txt"), "why");
    docs.getChildFile ("e").createDirectory();
    auto first = makeFile (base.getChildFile ("p/same.txt"), "first");
    auto second = makeFile (base.getChildFile ("q/same.txt"), "second");

    sendFiles (sender, { docs, first, second });
    ASSERT_TRUE (receiver.waitForHandOver());

    auto folder = FileTransfer::getTransferFolder();
    EXPECT_THAT (receiver.client.getCallTexts(), ElementsAre ("addMultipleFilesOrDirsToClipboard Docs|same.txt"));
    EXPECT_THAT (toStd (namesIn (folder)), ElementsAre ("Docs", "Docs/x", "Docs/x/y.txt", "same.txt"));
    EXPECT_EQ (folder.getChildFile ("same.txt").loadFileAsString(), "second");
}

TEST (FileTransfer, NonZipPayloadHandsOverNothingAndANewTransferClearsTheOldItems)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    Receiver receiver;
    auto folder = FileTransfer::getTransferFolder();
    makeFile (folder.getChildFile ("old/item.txt"), "from an earlier transfer");

    juce::String reply;
    auto stream = rawSend ("Filename: zipOut.zip fromDrag: false", juce::MemoryBlock ("not a zip", 9), &reply);
    ASSERT_NE (stream, nullptr);
    EXPECT_EQ (reply, "Filename received!");
    ASSERT_TRUE (receiver.waitForHandOver());

    EXPECT_THAT (receiver.client.getCallTexts(), ElementsAre ("addMultipleFilesOrDirsToClipboard"));
    EXPECT_THAT (toStd (namesIn (folder)), IsEmpty());
    EXPECT_TRUE (log.contains ("Transferred clipboard file(s)"));
}

TEST (FileTransfer, ANewTransferReplacesAnUnfinishedOne)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener raw (receiverPort);
    RecordingClient sender;
    auto file = makeFile (scratch ("r").getChildFile ("f.txt"), "x");

    sender.openOutgoingFileTransfer (file, TestEnvironment::testAddress, receiverPort, false);
    auto first = raw.accept();
    ASSERT_NE (first, nullptr);
    ASSERT_TRUE (readFramePumping (*first).has_value());   // header, never answered

    sender.openOutgoingFileTransfer (file, TestEnvironment::testAddress, receiverPort, false);
    EXPECT_TRUE (first->waitForClose (3000));
    auto second = raw.accept();
    ASSERT_NE (second, nullptr);
    EXPECT_EQ (readTextFramePumping (*second), "Filename: f.txt fromDrag: false");
}

TEST (FileTransfer, NamesFromThePeerNeverLeaveTheTransferFolder)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto folder = FileTransfer::getTransferFolder();
    auto outside = folder.getParentDirectory();
    auto payload = juce::MemoryBlock ("plain bytes", 11);

    // A name with '~' in front is a file name like any other, not a home
    // folder nor a path relative to the working folder.
    auto workingFolder = scratch ("cwd");
    ASSERT_TRUE (workingFolder.setAsCurrentWorkingDirectory());
    makeFile (FileTransfer::childNamed (workingFolder, "~nobody-here "), "keep");

    for (auto name : juce::StringArray { "../escape.bin", "../../escape.bin", outside.getChildFile ("abs.bin").getFullPathName(),
                                         "~", "~root", "~nobody-here" })
    {
        receiver.client.clearCalls();
        juce::String reply;
        auto stream = rawSend ("Filename: " + juce::String (name) + " fromDrag: false", payload, &reply);
        ASSERT_NE (stream, nullptr);
        EXPECT_EQ (reply, "Filename received!");
        ASSERT_TRUE (receiver.waitForHandOver()) << name;
    }

    EXPECT_FALSE (outside.getChildFile ("escape.bin ").exists());
    EXPECT_FALSE (outside.getParentDirectory().getChildFile ("escape.bin ").exists());
    EXPECT_FALSE (outside.getChildFile ("abs.bin ").exists());
    EXPECT_EQ (FileTransfer::childNamed (workingFolder, "~nobody-here ").loadFileAsString(), "keep");
    EXPECT_TRUE (juce::File ("/root").isDirectory());

    // "..", "." and an empty name are refused: no answer, connection released.
    for (auto name : { "..", ".", "" })
    {
        auto stream = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
        ASSERT_NE (stream, nullptr);
        stream->writeFrame ("Filename: " + juce::String (name) + "fromDrag: false");
        EXPECT_FALSE (readFramePumping (*stream, 300).has_value()) << name;
        EXPECT_TRUE (RecordingClient::waitUntil ([&] { return stream->waitForClose (10); }, 5000)) << name;
    }
}

TEST (FileTransfer, SymbolicLinksInAnArchiveAreNeverMade)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto outside = scratch ("outside");
    auto craft = scratch ("craft");

    // A link to a file outside, followed by an entry of the same name; a link to
    // a folder outside, followed by an entry below it.
    makeFile (outside.getChildFile ("target.txt"), "only while the archive is made");
    ASSERT_EQ (symlink (outside.getChildFile ("target.txt").getFullPathName().toRawUTF8(),
                        craft.getChildFile ("flink").getFullPathName().toRawUTF8()), 0);
    ASSERT_EQ (symlink (outside.getFullPathName().toRawUTF8(), craft.getChildFile ("dlink").getFullPathName().toRawUTF8()), 0);
    auto plain = makeFile (craft.getChildFile ("plain.txt"), "written through the link");

    juce::ZipFile::Builder builder;
    builder.addFile (craft.getChildFile ("flink"), 0, "flink");
    builder.addFile (plain, 0, "flink");
    builder.addFile (craft.getChildFile ("dlink"), 0, "dlink");
    builder.addFile (plain, 0, "dlink/inside.txt");
    builder.addFile (plain, 0, "kept.txt");
    juce::MemoryOutputStream zip;
    ASSERT_TRUE (builder.writeToStream (zip, nullptr));
    ASSERT_TRUE (outside.getChildFile ("target.txt").deleteFile());   // the link now dangles

    {
        juce::MemoryInputStream in (zip.getData(), zip.getDataSize(), false);
        juce::ZipFile check (in);
        ASSERT_EQ (check.getNumEntries(), 5);
        ASSERT_TRUE (check.getEntry (0)->isSymbolicLink);
    }

    auto stream = rawSend ("Filename: zipOut.zip fromDrag: false", zip.getMemoryBlock());
    ASSERT_NE (stream, nullptr);
    ASSERT_TRUE (receiver.waitForHandOver());

    auto folder = FileTransfer::getTransferFolder();
    EXPECT_FALSE (outside.getChildFile ("target.txt").exists());
    EXPECT_FALSE (outside.getChildFile ("inside.txt").exists());
    for (auto const& name : namesIn (folder))
        EXPECT_FALSE (name.endsWith ("@")) << name;
    EXPECT_EQ (folder.getChildFile ("flink").loadFileAsString(), "written through the link");
    EXPECT_EQ (folder.getChildFile ("kept.txt").loadFileAsString(), "written through the link");
}

TEST (FileTransfer, PeersWithoutAHeaderOrGoingIdleAreReleased)
{
    REQUIRE_PRIVATE_NETWORK();
    FileTransfer::Limits limits;
    limits.headerTimeoutMs = 800;
    limits.idleTimeoutMs = 800;
    limits.maxConnections = 3;
    Receiver receiver (limits);

    // Silent; answered without a header (and staying in that state); idle after the header.
    auto silent = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
    auto noHeader = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
    auto idle = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
    ASSERT_TRUE (silent != nullptr && noHeader != nullptr && idle != nullptr);

    noHeader->writeFrame ("hello");
    EXPECT_EQ (readTextFramePumping (*noHeader), "Filename received!");
    noHeader->writeFrame ("again");
    EXPECT_EQ (readTextFramePumping (*noHeader), "Filename received!");
    idle->writeFrame ("Filename: x fromDrag: false");
    EXPECT_EQ (readTextFramePumping (*idle), "Filename received!");

    // Beyond the limit a connection is refused at once.
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return receiver.receivers() == 3; }));
    auto fourth = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
    ASSERT_NE (fourth, nullptr);
    EXPECT_TRUE (fourth->waitForClose (3000));

    EXPECT_TRUE (silent->waitForClose (5000));
    EXPECT_TRUE (noHeader->waitForClose (5000));
    EXPECT_TRUE (idle->waitForClose (5000));
    EXPECT_TRUE (RecordingClient::waitUntil ([&] { return receiver.receivers() == 0; }));
    EXPECT_THAT (receiver.client.getCalls(), IsEmpty());
}

TEST (FileTransfer, ABrokenFrameReleasesTheReceiver)
{
    REQUIRE_PRIVATE_NETWORK();
    Receiver receiver;
    auto stream = WirePeer::Stream::connect (TestEnvironment::testAddress, receiverPort);
    ASSERT_NE (stream, nullptr);
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return receiver.receivers() == 1; }));

    // Half a header, then gone: JUCE stops reading without reporting a loss.
    stream->writeBytes ("\x2c\x9e", 2);
    stream->close();
    EXPECT_TRUE (RecordingClient::waitUntil ([&] { return receiver.receivers() == 0; }, 5000));
}
