// A component on the simulated bus of SimFixture (port 1), with every
// event it fires logged from its construction on: the fixture of the
// suites of the component's sessions and operations.
#pragma once

#include "QvDs18x20/QvDs18x20.hpp"
#include "support/component_events.hpp"
#include "support/sim_fixture.hpp"

namespace testing_support {

class ComponentFixture : public SimFixture {
 protected:
  ComponentFixture() { log.attach(c); }

  // Declared first, so that it outlives whatever the component fires
  // while it is destroyed.
  EventLog log;
  TQvDs18x20 c{nullptr};
};

}  // namespace testing_support
