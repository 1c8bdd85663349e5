// The Qt form's controls and their layout: the bus choices and buttons
// above, the table beside the plot, the status line below.
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include "qt_form/sensor_window.hpp"

namespace qtform {

void SensorWindow::build_widgets() {
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
}

}  // namespace qtform
