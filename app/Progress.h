// The progress bar as text, the same for the terminal face and the unattended
// update: forty marks and the percentage.
#pragma once

#include <string>

// How far position lies from minimum to maximum, 0 to 100.
inline int ProgressPercent(int minimum, int maximum, int position) {
  if (maximum <= minimum) return 0;
  const long long done = static_cast<long long>(position) - minimum;
  const long long percent = done * 100 / (static_cast<long long>(maximum) - minimum);
  return percent < 0 ? 0 : percent > 100 ? 100 : static_cast<int>(percent);
}

// "[####----...]  42%".
inline std::string ProgressBar(int percent) {
  constexpr int kBarWidth = 40;
  const int filled = percent * kBarWidth / 100;
  // Appended piece by piece: `"[" + std::string(...)` draws a false -Wrestrict from GCC 12 at -O3.
  std::string text = "[";
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  text += "] ";
  const std::string number = std::to_string(percent);
  return text + std::string(3 - number.size(), ' ') + number + "%";
}

// Plain output (not a terminal) shows a line at each quarter: whether one is due
// at this percentage, counting the quarters shown; a bar going back starts a new pass.
inline bool QuarterReached(int percent, int& quartersShown) {
  const int quarters = percent / 25;
  if (quarters < quartersShown) quartersShown = quarters;
  if (quarters <= quartersShown) return false;
  quartersShown = quarters;
  return true;
}
