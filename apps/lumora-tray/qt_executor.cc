#include "qt_executor.h"

namespace lumora::tray {

namespace {
const QEvent::Type kTaskEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

class QtExecutionContext::Receiver : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() != kTaskEvent) return QObject::event(event);
    static_cast<Task*>(event)->run();
    return true;
  }
};

QtExecutionContext::Task::Task() : QEvent(kTaskEvent) {}

QtExecutionContext::QtExecutionContext() : receiver_(std::make_unique<Receiver>()) {}

// Tasks still queued go first, with the receiver (Qt deletes the posted events of a deleted
// object), so that what they hold is let go while the services they may use still exist.
QtExecutionContext::~QtExecutionContext() {
  receiver_.reset();
  shutdown();
  destroy();
}

void QtExecutionContext::post(std::unique_ptr<Task> task) {
  QCoreApplication::postEvent(receiver_.get(), task.release());
}

}  // namespace lumora::tray
