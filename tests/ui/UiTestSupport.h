#pragma once

// Helpers of the window tests: waiting while the event loop runs, answering modal dialogs,
// and a settings folder per test.

#include <QApplication>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <string>

namespace probrix::uitest {

// Runs the event loop until Condition holds or Ms milliseconds have passed.
bool WaitUntil(const std::function<bool()>& Condition, int Ms = 5000);

// When the next modal dialog of class T appears, Act runs on it (from the event loop, while the
// dialog's own loop runs). Returns at once; the call that opens the dialog follows.
template <class T>
void WhenModal(std::function<void(T*)> Act, int Ms = 5000);

// The folder of the logging facility set up by the test main (ends with '/').
const std::filesystem::path& TestProgramFolder();

// Reads a whole file as bytes ("" when missing).
std::string ReadFileBytes(const std::filesystem::path& Path);
void WriteFileBytes(const std::filesystem::path& Path, const std::string& Bytes);

// With UI_SCREENSHOT_DIR set, saves a picture of W there as Name.png (to check by eye that every
// text is fully visible).
void SaveScreenshot(QWidget* W, const std::string& Name);

void WhenModalWidget(std::function<bool(QWidget*)> Accept, std::function<void(QWidget*)> Act,
                     int Ms);

template <class T>
void WhenModal(std::function<void(T*)> Act, int Ms) {
  WhenModalWidget([](QWidget* W) { return qobject_cast<T*>(W) != nullptr; },
                  [Act](QWidget* W) { Act(qobject_cast<T*>(W)); }, Ms);
}

}  // namespace probrix::uitest
