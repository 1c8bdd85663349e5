// The component on a Qt 6 form (sensor_window.hpp): the command line, the
// application that lets the loop probe see every event, and the window.
#include <QApplication>
#include <QEvent>

#include "form_common/station.hpp"
#include "qt_form/sensor_window.hpp"

namespace {

// Every event the application handles passes here: the probe learns when
// the loop takes one (the outermost; a handler's own sendEvent calls nest
// inside). The dispatcher's aboutToBlock tells when it waits.
class FormApplication : public QApplication {
 public:
  FormApplication(int& argc, char** argv, qvform::LoopProbe& probe) : QApplication(argc, argv), probe_(probe) {}
  bool notify(QObject* receiver, QEvent* event) override {
    if (depth_ == 0) probe_.handling();
    ++depth_;
    const bool result = QApplication::notify(receiver, event);
    --depth_;
    return result;
  }

 private:
  qvform::LoopProbe& probe_;
  int depth_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  qvform::Options options;
  if (const auto status = qvform::read_command_line(argc, argv, "qt_form", options)) return *status;
  qvform::LoopProbe probe;
  FormApplication app(argc, argv, probe);
  qtform::SensorWindow window(options, probe);
  window.resize(1040, 600);
  window.show();
  if (!options.shot.empty()) window.run_shot();
  return FormApplication::exec();
}
