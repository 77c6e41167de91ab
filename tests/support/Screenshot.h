#pragma once
#include <string>

// Saves the whole screen as a 24-bit BMP file at `path` (a path of the build
// folder), so a person can look at what a test saw. False on failure.
bool SaveScreenshot(const std::string& path);

// The folder for screenshots inside the build folder, created on demand.
std::string ScreenshotFolder();
