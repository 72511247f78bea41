#include "AppRig.h"

#include "support/WirePeer.h"

TEST (AppPasteboard, FilesAndTextGoThroughThePlatformPasteboards)
{
    AppRig rig;
    auto& app = rig.construct();
    auto& general = rig.desktop.getGeneralPasteboard();

    app.copyTextToClipboard ("some text");
    EXPECT_EQ (general.getText(), "some text");
    EXPECT_EQ (app.getTextFromClipboard(), "some text");
    EXPECT_TRUE (app.checkPasteboardForFiles().isEmpty());

    general.putUris ({ "file:///tmp/a%20b.txt", "https://example.com/page/x" });
    auto files = app.checkPasteboardForFiles();
    ASSERT_EQ (files.size(), 2);
    EXPECT_EQ (files[0].getFullPathName(), "/tmp/a b.txt");
    EXPECT_EQ (files[1].getFullPathName(), "/page/x");

    // Received entries: a file and a folder go on, a vanished path does not.
    auto home = TestEnvironment::getHome();
    auto file = home.getChildFile ("received.txt");
    auto folder = home.getChildFile ("received folder");
    file.replaceWithText ("x");
    folder.createDirectory();
    app.addMultipleFilesOrDirsToClipboard ({ file, home.getChildFile ("gone"), folder });
    EXPECT_EQ (general.readFilePaths().joinIntoString (";"), file.getFullPathName() + ";" + folder.getFullPathName());
    app.addMultipleFilesOrDirsToClipboard ({ home.getChildFile ("gone") });
    EXPECT_TRUE (general.readFilePaths().isEmpty());

    app.addFileToClipboard (file, true);
    EXPECT_EQ (rig.desktop.getDragPasteboard().readFilePaths(), juce::StringArray (file.getFullPathName()));

    app.emptyClipboard();
    EXPECT_EQ (AppRig::count ("emptyClipboard: cleared " + juce::String (general.getChangeCount()) + " objects"), 1);
}

TEST (AppPasteboard, AFileGoesToTheRegisteredMachinesTransferPort)
{
    REQUIRE_PRIVATE_NETWORK();
    AppRig rig;
    auto& app = rig.construct();
    WirePeer::Listener receiver (40001, TestEnvironment::testAddress);
    ASSERT_TRUE (receiver.isListening());
    rig.add (7, TestEnvironment::testAddress, 40000, { 0, 0, 800, 600 });

    auto file = TestEnvironment::getHome().getChildFile ("zipOut.zip");
    file.replaceWithText ("zip");
    app.sendFileToMachine (file, 42, false);   // no such machine: nothing connects
    EXPECT_EQ (receiver.accept (300), nullptr);

    app.sendFileToMachine (file, 7, false);
    auto connection = receiver.accept();
    ASSERT_NE (connection, nullptr);
    EXPECT_TRUE (AppRig::count ("ClientFileTransfer sender should connect to 192.168.77.1 40001") == 1);
}
