#pragma once
// The product title: first part of the main window's caption and the text of the drive
// tree's root node, by which the drive commands tell the root from a drive.
namespace velmor {

inline constexpr const char kProductTitle[] = "Velmor虚拟光驱";
inline constexpr const char kVersionText[] = "V1.0.";
inline constexpr const char kAuthorCredit[] = " Velmor工作室 出品";

} // namespace velmor
