#pragma once

// Placeholder; the user-interface work replaces this file.
namespace sonvale {
class LoginItem {};
}  // namespace sonvale
