#include "core/SingletonApplicationProperties.h"

#include "core/AppFolders.h"

juce::ApplicationProperties& SingletonApplicationProperties::get()
{
    static juce::ApplicationProperties properties;
    return properties;
}

juce::PropertiesFile::Options SingletonApplicationProperties::makeOptions()
{
    juce::PropertiesFile::Options options;
    options.applicationName = "Corvelline";
    options.filenameSuffix = "settings";
    options.folderName = AppFolders::getSettingsFolderName();
    options.osxLibrarySubFolder = "Application Support";
    options.commonToAllUsers = false;
    options.ignoreCaseOfKeyNames = false;
    options.doNotSave = false;
    options.millisecondsBeforeSaving = 3000;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.processLock = nullptr;
    return options;
}

void SingletonApplicationProperties::configure()
{
    get().setStorageParameters (makeOptions());
}
