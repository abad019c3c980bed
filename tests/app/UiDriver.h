// Small input helpers shared by the user-interface tests.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace uitest {

// Processes events until done() holds or ms have passed; returns done().
inline bool waitUntil(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(1);
    }
    return true;
}

// Types text into w one character at a time, each as its own key event (Qt 6.4's keyClicks
// cannot carry characters outside Latin-1).
inline void typeText(QWidget* w, const QString& text)
{
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Replaces the text of an edit by keyboard: select all, delete, type.
inline void retype(QWidget* w, const QString& text)
{
    w->setFocus();
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w, Qt::Key_Delete);
    typeText(w, text);
}

// Once a modal widget of type T is shown, calls act(it). Polls from the event loop, so it
// also runs inside the modal loop that the code under test starts.
template <class T> void whenModal(std::function<void(T*)> act, int ms = 10000)
{
    auto* timer = new QTimer;
    auto* elapsed = new QElapsedTimer;
    elapsed->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, act, ms] {
        T* modal = dynamic_cast<T*>(QApplication::activeModalWidget());
        if (!modal && elapsed->elapsed() < ms)
            return;
        timer->stop();
        timer->deleteLater();
        delete elapsed;
        if (modal)
            act(modal);
    });
    timer->start();
}

} // namespace uitest
