#include "qvds18x20/port_listing.hpp"

#include <cstdio>
#include <vector>

#include "onewire/adapters.hpp"
#include "onewire/port_names.hpp"

namespace qvtool {
namespace {

// The port forms of the table, each with its first row, in table order.
std::vector<const onewire::AdapterRow*> first_of_each_form() {
  std::vector<const onewire::AdapterRow*> rows;
  for (const onewire::AdapterRow& row : onewire::builtin_adapters()) {
    bool seen = false;
    for (const onewire::AdapterRow* r : rows) seen = seen || r->ports == row.ports;
    if (!seen) rows.push_back(&row);
  }
  return rows;
}

}  // namespace

int print_adapter_ports() {
  int shown = 0;
  for (const onewire::AdapterRow* row : first_of_each_form()) {
    if (row->ports == onewire::PortForm::kSerial) continue;
    const onewire::PortFormWords words = onewire::port_form_words(row->ports);
    if (!onewire::adapter_present(*row)) {
      std::fprintf(stderr, "qvds18x20: no %s here: adapter type %d (%s) is absent from this build: %s\n",
                   words.plural, row->type, row->name, row->absent_reason);
      continue;
    }
    // A name that does not say its adapter (an I2C bus) says which to take.
    const std::string chip = std::string(row->label).substr(0, std::string(row->label).find(' '));
    for (const onewire::PortListing& port : onewire::list_ports(row->ports)) {
      const std::string hint =
          onewire::form_of_name(port.name) ? "" : " (a " + chip + " on it: --adapter " + row->name + ")";
      std::printf("%-7s %s%s\n", port.name.c_str(), port.detail.c_str(), hint.c_str());
      ++shown;
    }
  }
  return shown;
}

std::string every_port_kind() {
  const auto rows = first_of_each_form();
  std::string text;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) text += i + 1 == rows.size() ? " or " : ", ";
    text += onewire::port_form_words(rows[i]->ports).plural;
  }
  return text;
}

}  // namespace qvtool
