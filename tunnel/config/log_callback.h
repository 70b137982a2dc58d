#pragma once
// The library's single way of reporting: a plain function that receives one
// zero-terminated narrow line. It may be called from any thread of the library; the
// text is valid only during the call. A null callback means "log nothing".
using log_callback = void (*)(const char*);
