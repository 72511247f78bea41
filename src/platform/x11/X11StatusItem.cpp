// JUCE's X11 declarations (its display) are needed here.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>
#include <juce_gui_extra/juce_gui_extra.h>

#include "platform/x11/X11StatusItem.h"

#include "core/Logging.h"

namespace
{
/** True when a freedesktop tray manager serves JUCE's screen. */
bool trayManagerPresent()
{
    auto* windowSystem = juce::XWindowSystem::getInstance();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return false;

    juce::XWindowSystemUtilities::ScopedXLock xLock;
    auto* symbols = juce::X11Symbols::getInstance();
    auto screen = symbols->xScreenNumberOfScreen (symbols->xDefaultScreenOfDisplay (display));
    auto atomName = "_NET_SYSTEM_TRAY_S" + juce::String (screen);
    auto selection = juce::XWindowSystemUtilities::Atoms::getCreating (display, atomName.toRawUTF8());
    return symbols->xGetSelectionOwner (display, selection) != 0;
}

/** Gives the icon's window its minimum size before it asks to be docked: a tray
    that reads the size when the request arrives (GTK's, for one) otherwise
    makes the icon one pixel wide, since JUCE sets the size only after asking. */
constexpr int minimumSize = 22;

void setMinimumSize (juce::Component& icon, int size)
{
    auto* display = juce::XWindowSystem::getInstance()->getDisplay();
    auto window = (::Window) (juce::pointer_sized_uint) icon.getWindowHandle();

    if (display == nullptr || window == 0)
        return;

    juce::XWindowSystemUtilities::ScopedXLock xLock;
    auto* symbols = juce::X11Symbols::getInstance();

    if (auto* hints = symbols->xAllocSizeHints())
    {
        hints->flags = PMinSize;
        hints->min_width = size;
        hints->min_height = size;
        symbols->xSetWMNormalHints (display, window, hints);
        symbols->xFree (hints);
    }
}
} // namespace

//==============================================================================
class X11StatusItem::TrayIcon : public juce::SystemTrayIconComponent
{
public:
    explicit TrayIcon (X11StatusItem& itemToServe) : item (itemToServe)
    {
        // The tray gives the icon its size when it docks it; until then, the
        // usual size of a tray icon.
        setSize (24, 24);
    }

    void paint (juce::Graphics& g) override
    {
        // JUCE rewrites the window's size hints whenever it sets the window's
        // bounds (also just before its first paint), dropping the minimum size;
        // a GTK tray then shrinks the icon to one pixel wide. Put the minimum
        // back once JUCE is done (such a tray watches the hints).
        if (hintsNeeded && isOnDesktop())
        {
            hintsNeeded = false;
            setMinimumSize (*this, minimumSize);
        }

        auto picture = item.getImage();

        if (picture.isValid())
            g.drawImage (picture, getLocalBounds().toFloat(), juce::RectanglePlacement::centred);
    }

    void resized() override
    {
        hintsNeeded = true;
    }

    void mouseDown (juce::MouseEvent const&) override
    {
        item.openMenu();
    }

private:
    X11StatusItem& item;
    bool hintsNeeded = true;
};

//==============================================================================
// The icon is made only once a tray is there to dock it: JUCE's tray icon is a
// window from the moment it exists, and any window keeps JUCE's 100 Hz paint
// timer running, which an idle program should not pay for.
X11StatusItem::X11StatusItem() = default;

X11StatusItem::~X11StatusItem()
{
    juce::PopupMenu::dismissAllActiveMenus();
}

void X11StatusItem::setImage (juce::Image const& newImage)
{
    if (! newImage.isValid())
        return;

    image = newImage;

    if (docked)
    {
        icon->repaint();
        return;
    }

    if (! trayManagerPresent())
    {
        if (! reportedNoTray)
            DBGOrLog ("Status item: no system tray on this desktop; the item is not shown");

        reportedNoTray = true;
        return;
    }

    if (icon == nullptr)
        icon = std::make_unique<TrayIcon> (*this);

    // JUCE places its window where it believes it is just before its first
    // paint; after docking that would move the icon away from its place in the
    // tray. So let that first paint happen now, while the window is our own.
    if (auto* peer = icon->getPeer())
    {
        peer->repaint (icon->getLocalBounds());
        peer->performAnyPendingRepaintsNow();
    }

    // Docks the icon's window in the tray; it paints our picture from then on.
    setMinimumSize (*icon, minimumSize);
    icon->setIconImage (image, image);
    docked = icon->isOnDesktop();
}

void X11StatusItem::setMenu (juce::String const& title, std::vector<StatusMenuItem> items)
{
    menuTitle = title;
    menuItems = std::move (items);
}

bool X11StatusItem::isShown() const
{
    return docked;
}

void X11StatusItem::openMenu()
{
    if (menuItems.empty())
        return;

    juce::PopupMenu menu;

    for (size_t i = 0; i < menuItems.size(); ++i)
        menu.addItem ((int) i + 1, menuItems[i].text);

    // The entries' actions travel with the menu: a new menu may be set while
    // this one is open.
    menu.showMenuAsync (juce::PopupMenu::Options().withMousePosition(),
                        [items = menuItems] (int chosen)
                        {
                            if (chosen >= 1 && chosen <= (int) items.size() && items[(size_t) chosen - 1].onPick)
                                items[(size_t) chosen - 1].onPick();
                        });
}

unsigned long X11StatusItem::getWindowId() const
{
    return docked ? (unsigned long) (juce::pointer_sized_uint) icon->getWindowHandle() : 0ul;
}
