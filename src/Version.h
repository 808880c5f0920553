#pragma once

// The program's version as the browser, the tray and the exports show it.
inline constexpr char programVersion[] = "0.1.19";
