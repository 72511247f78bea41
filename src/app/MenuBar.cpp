#include "app/MyQuillsteadApplication.h"

//==============================================================================
// The status item's picture and the main window. Message thread only; other
// threads post here.

void MyQuillsteadApplication::switchMenuBarImage (bool active)
{
    auto image = MySystemTrayIconComponent::getMenuBarImage (active);
    trayIcon.setImage (image);
}

void MyQuillsteadApplication::postMenuBarImage (bool active)
{
    post ([active] (MyQuillsteadApplication& app) { app.switchMenuBarImage (active); });
}

void MyQuillsteadApplication::post (std::function<void (MyQuillsteadApplication&)> work)
{
    juce::WeakReference<ClientIPC> client (this);

    juce::MessageManager::callAsync ([client, work = std::move (work)]
    {
        if (auto* c = client.get())
            work (*static_cast<MyQuillsteadApplication*> (c));
    });
}

void MyQuillsteadApplication::showWindow()
{
    // A fresh window each time; the one open so far goes first, letting go of
    // the view, which the new one then shows.
    windowOpen = false;
    mainWindow.reset();
    ++windowGeneration;

    // The window places itself: native title bar, the view as its content,
    // resizable, centred, shown in front without taking the focus.
    mainWindow = std::make_unique<MainWindow> (getApplicationName(), mainComponent.get(), [this] { closeMainWindow(); });
    mainWindow->setDebugText ("DebugText");
    windowOpen = true;
}

void MyQuillsteadApplication::closeMainWindow()
{
    if (mainWindow == nullptr)
        return;

    windowOpen = false;
    mainWindow->setVisible (false);

    // Deleted once the close button's call has returned, unless another
    // window has replaced it by then.
    post ([generation = windowGeneration] (MyQuillsteadApplication& app)
    {
        if (app.windowGeneration == generation)
            app.mainWindow.reset();
    });
}
