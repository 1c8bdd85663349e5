// The component with the protected parts that tests reach into.
#pragma once

#include "QvDs18x20/QvDs18x20.hpp"

namespace testing_support {

class TestableQv : public TQvDs18x20 {
 public:
  using TQvDs18x20::getsensor;
  using TQvDs18x20::PortNum;
  using TQvDs18x20::setsensor;
  using TQvDs18x20::TQvDs18x20;
};

}  // namespace testing_support
