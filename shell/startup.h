#pragma once
// Running start-up with its failure handling: an exception that escapes is
// shown in the standard error box and the program still ends with 0.

#include <functional>

class QApplication;

namespace vtrl {

inline constexpr const char* ApplicationTitle = "Vantrel/S Configuration Wizard";

// Runs `body` (which creates the forms and runs the event loop). Returns
// body's exit code, or 0 after showing an escaped exception.
int RunGuarded(const std::function<int()>& body);

}  // namespace vtrl
