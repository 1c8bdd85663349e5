// The component on a Qt 6 form: the serial port list, adapter and speed,
// open/close, enumerate, measure, a measurement every N seconds, the
// sensors in a table, a live plot of their temperatures and a status
// line. The component's queue is served from Qt's own event loop: a
// QSocketNotifier watches MessageQueueFd() and runs ProcessMessages()
// when it becomes readable; nothing polls.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QValueAxis>
#include <QWindow>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "form_common/station.hpp"
#include "rtl/messages.hpp"

namespace {

constexpr int kSimulated = -1;  // the port list's item data of the simulated bus
constexpr int kShotDeadlineMs = 60000;

qvform::LoopProbe g_probe;

// Every event the application handles passes here: the probe learns when
// the loop takes one (the outermost; a handler's own sendEvent calls nest
// inside). The dispatcher's aboutToBlock tells when it waits.
class FormApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    if (depth_ == 0) g_probe.handling();
    ++depth_;
    const bool result = QApplication::notify(receiver, event);
    --depth_;
    return result;
  }

 private:
  int depth_ = 0;
};

QString q(const std::string& s) { return QString::fromStdString(s); }

class SensorWindow : public QMainWindow {
 public:
  explicit SensorWindow(const qvform::Options& options) : options_(options) {
    setWindowTitle("qvds18x20 - DS18x20 sensors (Qt)");
    build_widgets();
    station_ = std::make_unique<qvform::Station>(qvform::Station::Events{
        [this] { refresh_state(); },
        [this](const std::vector<qvform::SensorRow>& rows) { fill_table(rows); },
        [this](std::chrono::system_clock::time_point t, const std::vector<qvform::Reading>& r) { plot(t, r); },
        [this](const std::string& what) { progress_ = what; refresh_state(); },
        [this] { operation_ended(); }});
    // The component's queue joins Qt's loop here.
    notifier_ = new QSocketNotifier(MessageQueueFd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [] { ProcessMessages(); });
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [] { g_probe.waiting(); });
    fill_ports();
    apply_options();
    refresh_state();
  }

  // --shot: open, measure, take the picture, print, leave.
  void run_shot() {
    QTimer::singleShot(kShotDeadlineMs, this, [this] {
      std::fprintf(stderr, "qt_form: no result within %d s\n", kShotDeadlineMs / 1000);
      QApplication::exit(1);
    });
    // As a person would: once the window is on the screen and painted.
    windowHandle()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == windowHandle() && event->type() == QEvent::Expose && !shot_started_ &&
        windowHandle()->isExposed()) {
      shot_started_ = true;
      // The first exposure paints the whole window; the measurement starts
      // after that painting, and the chart's deferred scene update, are done.
      QTimer::singleShot(100, this, [this] { start_shot(); });
    }
    return QMainWindow::eventFilter(watched, event);
  }

 private:
  void start_shot() {
    if (!open_session()) {
      std::fprintf(stderr, "qt_form: %s\n", last_open_error_.c_str());
      QApplication::exit(1);
      return;
    }
    g_probe.start();
    start_measurement();
  }

  void build_widgets() {
    auto* central = new QWidget(this);
    auto* top = new QGridLayout;
    port_ = new QComboBox;
    port_->setEditable(true);
    port_->setMinimumWidth(220);
    port_->setToolTip("a port from the list, or a device path typed in");
    adapter_ = new QComboBox;
    for (const auto& a : qvform::adapter_choices()) adapter_->addItem(a.label, a.type);
    speed_ = new QComboBox;
    speed_->addItem("normal");
    speed_->addItem("relaxed");
    open_ = new QPushButton("Open");
    enumerate_ = new QPushButton("Enumerate");
    measure_ = new QPushButton("Measure");
    auto_ = new QCheckBox("Measure every");
    interval_ = new QSpinBox;
    interval_->setRange(1, 86400);
    interval_->setValue(10);
    interval_->setSuffix(" s");
    top->addWidget(new QLabel("Port"), 0, 0);
    top->addWidget(port_, 0, 1);
    top->addWidget(new QLabel("Adapter"), 0, 2);
    top->addWidget(adapter_, 0, 3);
    top->addWidget(new QLabel("Speed"), 0, 4);
    top->addWidget(speed_, 0, 5);
    top->setColumnStretch(6, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(open_);
    buttons->addWidget(enumerate_);
    buttons->addWidget(measure_);
    buttons->addSpacing(16);
    buttons->addWidget(auto_);
    buttons->addWidget(interval_);
    buttons->addStretch(1);

    table_ = new QTableWidget(0, 4);
    table_->setHorizontalHeaderLabels({"Index", "ROM", "Name", "Temperature"});
    table_->verticalHeader()->setVisible(false);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setColumnWidth(0, 50);
    table_->setColumnWidth(1, 160);
    table_->setColumnWidth(2, 80);

    chart_ = new QChart;
    chart_->setTitle("Temperature");
    chart_->legend()->setAlignment(Qt::AlignBottom);
    time_axis_ = new QDateTimeAxis;
    time_axis_->setFormat("hh:mm:ss");
    time_axis_->setTitleText("time");
    temp_axis_ = new QValueAxis;
    temp_axis_->setTitleText("°C");
    temp_axis_->setLabelFormat("%.1f");
    chart_->addAxis(time_axis_, Qt::AlignBottom);
    chart_->addAxis(temp_axis_, Qt::AlignLeft);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    time_axis_->setRange(QDateTime::fromMSecsSinceEpoch(now), QDateTime::fromMSecsSinceEpoch(now + 60000));
    temp_axis_->setRange(0, 30);
    auto* view = new QChartView(chart_);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumWidth(420);

    auto* split = new QSplitter;
    split->addWidget(table_);
    split->addWidget(view);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({410, 630});

    auto* layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);
    setCentralWidget(central);

    session_label_ = new QLabel;
    busy_label_ = new QLabel;
    error_label_ = new QLabel;
    statusBar()->addWidget(session_label_, 2);
    statusBar()->addWidget(busy_label_, 0);
    statusBar()->addWidget(error_label_, 3);

    connect(open_, &QPushButton::clicked, this, [this] {
      if (station_->session_active()) {
        station_->close();
      } else if (!open_session()) {
        QMessageBox::warning(this, windowTitle(), q(last_open_error_));
      }
    });
    connect(enumerate_, &QPushButton::clicked, this, [this] { station_->enumerate(); });
    connect(measure_, &QPushButton::clicked, this, [this] { start_measurement(); });
    auto_timer_ = new QTimer(this);
    // The automatic measurement is a feature with its own period, not a
    // poll: the component's results still arrive through its queue.
    connect(auto_timer_, &QTimer::timeout, this, [this] {
      if (!station_->working()) start_measurement();
    });
    connect(auto_, &QCheckBox::toggled, this, [this](bool) { update_auto(); });
    connect(interval_, &QSpinBox::valueChanged, this, [this](int) { update_auto(); });
  }

  void fill_ports() {
    port_->clear();
    port_->addItem("simulated bus", kSimulated);
    for (const std::string& p : station_->ports()) port_->addItem(q(p), 0);
  }

  void apply_options() {
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

  bool open_session() {
    std::string error;
    if (port_->currentIndex() == 0 && port_->currentText() == port_->itemText(0)) {
      error = station_->use_simulated_bus(options_.sim_file);
    } else {
      error = station_->use_adapter(port_->currentText().toStdString(), adapter_->currentData().toInt(),
                                    speed_->currentIndex() == 1, options_.baud);
    }
    if (error.empty()) error = station_->open();
    last_open_error_ = error;
    refresh_state();
    return error.empty();
  }

  void start_measurement() {
    if (station_->measure()) ++measurements_;
  }

  void update_auto() {
    if (auto_->isChecked() && station_->session_active()) {
      // Started once: the rounds keep their period whatever else changes.
      const int ms = interval_->value() * 1000;
      if (!auto_timer_->isActive() || auto_timer_->interval() != ms) auto_timer_->start(ms);
    } else {
      auto_timer_->stop();
    }
  }

  void operation_ended() {
    progress_.clear();
    refresh_state();
    if (options_.shot.empty()) return;
    if (measurements_ < options_.measurements) {
      start_measurement();
      return;
    }
    g_probe.stop();
    // The picture after the table and the plot have been painted.
    QTimer::singleShot(0, this, [this] { finish_shot(); });
  }

  void finish_shot() {
    const QPixmap picture = grab();
    const bool saved = picture.save(q(options_.shot), "PNG");
    std::vector<qvform::SensorRow> shown;
    bool any_read = false;
    for (int r = 0; r < table_->rowCount(); ++r) {
      auto text = [&](int c) { return table_->item(r, c) ? table_->item(r, c)->text().toStdString() : std::string(); };
      qvform::SensorRow row{std::atoi(text(0).c_str()), text(1), text(2), text(3)};
      any_read = any_read || !row.temp.empty();
      shown.push_back(row);
    }
    const std::string status = session_label_->text().toStdString() + " | " + busy_label_->text().toStdString() +
                               " | " + error_label_->text().toStdString();
    std::fputs(qvform::shot_report(shown, status, g_probe, measurements_, picture.width(), picture.height()).c_str(),
               stdout);
    std::fflush(stdout);
    if (!saved) std::fprintf(stderr, "qt_form: cannot write %s\n", options_.shot.c_str());
    station_->close();
    QApplication::exit(saved && any_read ? 0 : 1);
  }

  void refresh_state() {
    const bool active = station_->session_active();
    const bool working = station_->working();
    open_->setText(active ? "Close" : "Open");
    open_->setEnabled(!working);
    port_->setEnabled(!active);
    adapter_->setEnabled(!active);
    speed_->setEnabled(!active);
    enumerate_->setEnabled(active && !working);
    measure_->setEnabled(active && !working);
    std::string session = station_->session_text();
    if (!progress_.empty()) session += ", " + progress_;
    session_label_->setText(q(session));
    busy_label_->setText(station_->busy() ? "Busy: yes" : "Busy: no");
    const std::string error = station_->error_text();
    error_label_->setText(q("TMEXerror: " + (error.empty() ? std::string("none") : error)));
    update_auto();
  }

  void fill_table(const std::vector<qvform::SensorRow>& rows) {
    table_->setRowCount(static_cast<int>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& r = rows[i];
      const int row = static_cast<int>(i);
      auto set = [&](int col, const std::string& text) {
        auto* item = table_->item(row, col);
        if (item == nullptr) {
          item = new QTableWidgetItem;
          table_->setItem(row, col, item);
        }
        item->setText(q(text));
      };
      set(0, std::to_string(r.index));
      set(1, r.rom);
      set(2, r.name);
      set(3, r.temp);
    }
  }

  void plot(std::chrono::system_clock::time_point t, const std::vector<qvform::Reading>& readings) {
    const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    if (first_ms_ == 0) first_ms_ = ms;
    for (const auto& r : readings) {
      QLineSeries*& s = series_[r.rom];
      if (s == nullptr) {
        s = new QLineSeries;
        // Short names keep a legend of 21 sensors readable: the table's
        // index and the serial number's last digits. Built by appending:
        // GCC 12 at -O3 takes the prepend of `"#" + string` for an
        // overlapping copy (a false -Werror=restrict in char_traits.h).
        std::string name = "#";
        name += std::to_string(r.index);
        name += ' ';
        name += r.rom.substr(10, 4);
        s->setName(q(name));
        s->setPointsVisible(true);
        chart_->addSeries(s);
        s->attachAxis(time_axis_);
        s->attachAxis(temp_axis_);
        // Past ten sensors a legend has no room to name them all.
        chart_->legend()->setVisible(series_.size() <= 10);
      }
      s->append(static_cast<qreal>(ms), r.celsius);
      low_ = std::min(low_, r.celsius);
      high_ = std::max(high_, r.celsius);
    }
    if (low_ <= high_) {
      temp_axis_->setRange(std::floor(low_) - 1, std::ceil(high_) + 1);
      temp_axis_->applyNiceNumbers();
    }
    const qint64 span = std::max<qint64>(ms - first_ms_, 10000);
    time_axis_->setRange(QDateTime::fromMSecsSinceEpoch(first_ms_ - span / 20),
                         QDateTime::fromMSecsSinceEpoch(first_ms_ + span + span / 20));
  }

  qvform::Options options_;
  std::unique_ptr<qvform::Station> station_;
  QSocketNotifier* notifier_ = nullptr;
  QComboBox* port_ = nullptr;
  QComboBox* adapter_ = nullptr;
  QComboBox* speed_ = nullptr;
  QPushButton* open_ = nullptr;
  QPushButton* enumerate_ = nullptr;
  QPushButton* measure_ = nullptr;
  QCheckBox* auto_ = nullptr;
  QSpinBox* interval_ = nullptr;
  QTimer* auto_timer_ = nullptr;
  QTableWidget* table_ = nullptr;
  QChart* chart_ = nullptr;
  QDateTimeAxis* time_axis_ = nullptr;
  QValueAxis* temp_axis_ = nullptr;
  std::map<std::string, QLineSeries*> series_;
  qint64 first_ms_ = 0;
  double low_ = 1e9;
  double high_ = -1e9;
  QLabel* session_label_ = nullptr;
  QLabel* busy_label_ = nullptr;
  QLabel* error_label_ = nullptr;
  std::string progress_;
  std::string last_open_error_;
  int measurements_ = 0;
  bool shot_started_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qvform::Options options;
  if (const std::string error = qvform::parse_options(args, options); !error.empty()) {
    std::fprintf(stderr, "qt_form: %s\n%s", error.c_str(), qvform::usage("qt_form").c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(qvform::usage("qt_form").c_str(), stdout);
    return 0;
  }
  FormApplication app(argc, argv);
  SensorWindow window(options);
  window.resize(1040, 600);
  window.show();
  if (!options.shot.empty()) window.run_shot();
  return FormApplication::exec();
}
