// The Qt form's views of the sensors: the table of the last rows and the
// plot of every temperature measured since the start.
#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLegend>
#include <QLineSeries>
#include <QTableWidget>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include "qt_form/sensor_window.hpp"

namespace qtform {

void SensorWindow::fill_table(const std::vector<qvform::SensorRow>& rows) {
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

void SensorWindow::plot(std::chrono::system_clock::time_point t, const std::vector<qvform::Reading>& readings) {
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

std::vector<qvform::SensorRow> SensorWindow::table_rows() const {
  return qvform::rows_shown(table_->rowCount(), [this](int r, int c) {
    return table_->item(r, c) ? table_->item(r, c)->text().toStdString() : std::string();
  });
}

}  // namespace qtform
