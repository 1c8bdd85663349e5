// Form files: a component's stored published properties as text, and back.
//
//   object QvDs18x201: TQvDs18x20
//     ComPort = 'COM3'
//     Speed = lsRelaxed
//   end
//
// Strings are quoted with single quotes (a quote inside is doubled);
// numbers are decimal; enumerations are written by identifier.
#pragma once

#include "qvds18x20/export.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

#include "rtl/classes.hpp"

// A form that cannot be read: the message names the line.
class QVDS_API EReadError : public std::runtime_error {
 public:
  EReadError(int line, const std::string& what);
  int Line() const { return line_; }

 private:
  int line_;
};

// Writes every published property that has a setter and is stored.
QVDS_API std::string WriteComponentToText(TComponent& component);

// Reads the properties of one object block into `component`: sets
// csLoading, runs each property's setter in the order of the text, then
// calls Loaded. Unknown or read-only properties, a class name that differs
// from the component's, and malformed values raise EReadError; the
// component then keeps the values set before the bad line, and csLoading
// is cleared.
QVDS_API void ReadComponentFromText(std::string_view text, TComponent& component);
