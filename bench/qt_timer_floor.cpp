// The least a Qt Widgets program with one 10 ms timer costs at rest on this machine: the floor
// under the monitor's idle figure, which cannot go below it while its protocol ticks every 10 ms.
// monitor_idle.sh measures both in one run.

#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.show();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [] {});
    tick.start();
    return app.exec();
}
