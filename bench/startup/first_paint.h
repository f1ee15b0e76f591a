#pragma once

#include <QObject>

class QWidget;

namespace korvel::bench {

// Watches one shown window: as soon as the window system's expose or update request that
// painted it for the first time has been handled (painted and flushed), writes "painted" to
// standard output and ends the process at once, before anything queued behind it runs.
class FirstPaintReport : public QObject {
public:
    // window is shown (it has its platform window) and not yet painted.
    explicit FirstPaintReport(QWidget& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QObject* widget;
    bool painted = false;
};

} // namespace korvel::bench
