// What the Qt form's controls do, the state they show, and the --shot run.
#include "qt_form/sensor_window.hpp"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QTimer>
#include <QWindow>

#include "rtl/messages.hpp"

namespace qtform {
namespace {

constexpr int kSimulated = -1;  // the port list's item data of the simulated bus

}  // namespace

SensorWindow::SensorWindow(const qvform::Options& options, qvform::LoopProbe& probe) : options_(options) {
  setWindowTitle("qvds18x20 - DS18x20 sensors (Qt)");
  build_widgets();
  connect_widgets();
  core_ = std::make_unique<qvform::Controller>(
      "qt_form", options_, probe,
      qvform::Controller::View{
          [this] { refresh_state(); },
          [this](const std::vector<qvform::SensorRow>& rows) { fill_table(rows); },
          [this](std::chrono::system_clock::time_point t, const std::vector<qvform::Reading>& r) { plot(t, r); },
          // The picture after the table and the plot have been painted.
          [this] { QTimer::singleShot(0, this, [this] { finish_shot(); }); }});
  // The component's queue joins Qt's loop here.
  notifier_ = new QSocketNotifier(MessageQueueFd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [] { ProcessMessages(); });
  connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
          [&probe] { probe.waiting(); });
  fill_ports();
  apply_options();
  refresh_state();
}

void SensorWindow::run_shot() {
  QTimer::singleShot(qvform::kShotDeadlineMs, this, [this] {
    core_->shot_timed_out();
    QApplication::exit(1);
  });
  // As a person would: once the window is on the screen and painted.
  windowHandle()->installEventFilter(this);
}

bool SensorWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && event->type() == QEvent::Expose && !shot_started_ && windowHandle()->isExposed()) {
    shot_started_ = true;
    // The first exposure paints the whole window; the measurement starts
    // after that painting, and the chart's deferred scene update, are done.
    QTimer::singleShot(100, this, [this] { start_shot(); });
  }
  return QMainWindow::eventFilter(watched, event);
}

void SensorWindow::start_shot() {
  if (!core_->start_shot(chosen_bus())) QApplication::exit(1);
}

void SensorWindow::connect_widgets() {
  connect(open_, &QPushButton::clicked, this, [this] {
    if (core_->station().session_active()) {
      core_->station().close();
    } else if (!core_->open_session(chosen_bus())) {
      QMessageBox::warning(this, windowTitle(), q(core_->last_error()));
    }
  });
  connect(enumerate_, &QPushButton::clicked, this, [this] { core_->station().enumerate(); });
  connect(measure_, &QPushButton::clicked, this, [this] { core_->start_measurement(); });
  auto_timer_ = new QTimer(this);
  // The automatic measurement is a feature with its own period, not a
  // poll: the component's results still arrive through its queue.
  connect(auto_timer_, &QTimer::timeout, this, [this] {
    if (!core_->station().working()) core_->start_measurement();
  });
  connect(auto_, &QCheckBox::toggled, this, [this](bool) { update_auto(); });
  connect(interval_, &QSpinBox::valueChanged, this, [this](int) { update_auto(); });
}

void SensorWindow::fill_ports() {
  port_->clear();
  port_->addItem("simulated bus", kSimulated);
  for (const std::string& p : core_->station().ports()) port_->addItem(q(p), 0);
}

void SensorWindow::apply_options() {
  if (options_.sim) {
    port_->setCurrentIndex(0);
    if (!options_.sim_file.empty()) port_->setItemText(0, "simulated bus: " + q(options_.sim_file));
  } else {
    const int i = port_->findText(q(options_.port));
    if (i >= 0) {
      port_->setCurrentIndex(i);
    } else {
      port_->addItem(q(options_.port), 0);
      port_->setCurrentIndex(port_->count() - 1);
    }
  }
  for (int i = 0; i < adapter_->count(); ++i)
    if (adapter_->itemData(i).toInt() == options_.adapter) adapter_->setCurrentIndex(i);
  speed_->setCurrentIndex(options_.relaxed ? 1 : 0);
  if (options_.interval > 0) {
    interval_->setValue(options_.interval);
    auto_->setChecked(true);
  }
}

qvform::BusChoice SensorWindow::chosen_bus() const {
  // The first item, unless a port name was typed over it.
  const bool simulated = port_->currentIndex() == 0 && port_->currentText() == port_->itemText(0);
  return {simulated, port_->currentText().toStdString(), adapter_->currentData().toInt(), speed_->currentIndex() == 1};
}

void SensorWindow::update_auto() {
  if (auto_->isChecked() && core_->station().session_active()) {
    // Started once: the rounds keep their period whatever else changes.
    const int ms = interval_->value() * 1000;
    if (!auto_timer_->isActive() || auto_timer_->interval() != ms) auto_timer_->start(ms);
  } else {
    auto_timer_->stop();
  }
}

void SensorWindow::refresh_state() {
  const qvform::Station& station = core_->station();
  const bool active = station.session_active();
  const bool working = station.working();
  open_->setText(active ? "Close" : "Open");
  open_->setEnabled(!working);
  port_->setEnabled(!active);
  adapter_->setEnabled(!active);
  speed_->setEnabled(!active);
  enumerate_->setEnabled(active && !working);
  measure_->setEnabled(active && !working);
  const qvform::StatusTexts status = core_->status();
  session_label_->setText(q(status[0]));
  busy_label_->setText(q(status[1]));
  error_label_->setText(q(status[2]));
  update_auto();
}

void SensorWindow::finish_shot() {
  const QPixmap picture = grab();
  const bool saved = picture.save(q(options_.shot), "PNG");
  // What the status bar shows, as the table's rows are what the table shows.
  const qvform::StatusTexts status{session_label_->text().toStdString(), busy_label_->text().toStdString(),
                                   error_label_->text().toStdString()};
  const int code = core_->finish_shot(table_rows(), status, picture.width(), picture.height(), saved);
  core_->station().close();
  QApplication::exit(code);
}

}  // namespace qtform
