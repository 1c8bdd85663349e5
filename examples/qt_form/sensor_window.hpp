// The Qt form's window: the serial port list, adapter and speed,
// open/close, enumerate, measure, a measurement every N seconds, the
// sensors in a table, a live plot of their temperatures and a status
// line. The component's queue is served from Qt's own event loop: a
// QSocketNotifier watches MessageQueueFd() and runs ProcessMessages()
// when it becomes readable; nothing polls.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "form_common/controller.hpp"

class QChart;
class QCheckBox;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QPushButton;
class QSocketNotifier;
class QSpinBox;
class QTableWidget;
class QTimer;
class QValueAxis;

namespace qtform {

inline QString q(const std::string& s) { return QString::fromStdString(s); }

class SensorWindow : public QMainWindow {
 public:
  SensorWindow(const qvform::Options& options, qvform::LoopProbe& probe);

  // --shot: open, measure, take the picture, print, leave.
  void run_shot();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // widgets.cpp: the controls and their layout.
  void build_widgets();
  // sensor_window.cpp: what the controls do and the state they show.
  void connect_widgets();
  void fill_ports();
  void apply_options();
  qvform::BusChoice chosen_bus() const;
  void update_auto();
  void refresh_state();
  void start_shot();
  void finish_shot();
  // sensor_views.cpp: the table and the plot.
  void fill_table(const std::vector<qvform::SensorRow>& rows);
  void plot(std::chrono::system_clock::time_point t, const std::vector<qvform::Reading>& readings);
  std::vector<qvform::SensorRow> table_rows() const;

  qvform::Options options_;
  std::unique_ptr<qvform::Controller> core_;
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
  bool shot_started_ = false;
};

}  // namespace qtform
