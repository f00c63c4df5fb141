#pragma once
// Clicks and typing as a person gives them: through the top-level window's QWindow, so Qt's modal
// blocking, focus and popup handling apply exactly as for real input (also on the offscreen
// platform). Sending events straight to a widget, or calling its slots, skips all of that.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <functional>
#include <set>
#include <string>

namespace nvx::test {

// The window-system window of the widget's top-level window; the top level is made native first
// when it has no window yet (a hidden window has none until it is shown).
inline QWindow* WindowOf(QWidget* widget) {
    QWidget* top = widget->window();
    if (!top->windowHandle()) top->winId();
    return top->windowHandle();
}

// A left click at `at` (widget coordinates; the centre when omitted), delivered to the top-level
// window that holds the widget.
inline void ClickThroughWindow(QWidget* widget, QPoint at = QPoint(-1, -1)) {
    ASSERT_NE(widget, nullptr);
    if (at == QPoint(-1, -1)) at = widget->rect().center();
    QTest::mouseClick(WindowOf(widget), Qt::LeftButton, Qt::NoModifier,
                      widget->mapTo(widget->window(), at));
    QApplication::processEvents();
}

// Clicks into the field, selects what it holds and types `text` over it, one key at a time.
inline void TypeThroughWindow(QWidget* field, const QString& text) {
    ClickThroughWindow(field);
    QWindow* window = WindowOf(field);
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    for (QChar c : text) QTest::keyClick(window, c.toLatin1());
    QApplication::processEvents();
}

inline void KeyThroughWindow(QWidget* widget, Qt::Key key) {
    QTest::keyClick(WindowOf(widget), key);
    QApplication::processEvents();
}

// The object names of the controls Tab visits from `first`, `first` included: as many as the
// window has controls that take the keyboard, plus one to show where Tab goes round to.
inline QStringList TabThrough(QWidget* first, int stops) {
    first->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    QStringList seen{QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                                 : QString()};
    for (int i = 0; i < stops; ++i) {
        KeyThroughWindow(first, Qt::Key_Tab);
        seen << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                             : QString());
    }
    return seen;
}

// Opens the menu bar's menu that holds `entry` and clicks the entry in the popup, both by mouse.
// False when the entry cannot be reached (not in a menu of the bar, the popup did not open).
inline bool ChooseMenuEntry(QMenuBar* bar, QAction* entry) {
    for (QAction* title : bar->actions()) {
        QMenu* menu = title->menu();
        if (!menu || !menu->actions().contains(entry)) continue;
        ClickThroughWindow(bar, bar->actionGeometry(title).center());
        if (!menu->isVisible()) return false;
        ClickThroughWindow(menu, menu->actionGeometry(entry).center());
        return true;
    }
    return false;
}

// Runs `answer` with the modal window as soon as one is up: a modal window runs its own loop, so
// whatever it is to be answered with must be queued before the click that opens it. `owner` ends
// the watch if no modal window ever shows.
inline void WhenModalShows(QObject* owner, std::function<void(QWidget* modal)> answer) {
    auto* watch = new QTimer(owner);
    QObject::connect(watch, &QTimer::timeout, watch, [watch, answer = std::move(answer)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        watch->stop();
        watch->deleteLater();
        answer(modal);
    });
    watch->start(1);
}

// The dialog's last name filter ("All Files") chosen, so the listing hides nothing by its name.
inline void SelectAllFiles(QWidget* dialog) {
    auto* files = qobject_cast<QFileDialog*>(dialog);
    ASSERT_NE(files, nullptr) << "not a file dialog";
    files->selectNameFilter(files->nameFilters().constLast());
}

// The names a file dialog lists in its folder, as the person sees them, once `shown` is among
// them (the listing is read in the background); empty when it never is.
inline std::set<std::string> FileDialogListing(QWidget* dialog, const std::string& shown) {
    auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
    if (!view) return {};
    std::set<std::string> names;
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QTest::qWait(20)) {
        names.clear();
        const QModelIndex folder = view->rootIndex();
        for (int row = 0; row < view->model()->rowCount(folder); ++row)
            names.insert(view->model()->index(row, 0, folder).data().toString().toStdString());
        if (names.count(shown)) return names;
    }
    return {};
}

}  // namespace nvx::test
