#pragma once
// The application server's paths that every screen's package shares.
namespace zavwire {

// Where the host signs an operator in and out (Login, Logout), whichever
// screen's package it opens: POST https://{WebURL}:{WebPort}/sessao. Only
// those two methods are answered there; a screen's own methods are at its
// module's path.
inline constexpr const char* kSessionPath = "/sessao";

} // namespace zavwire
