#pragma once

#include <QString>

namespace Platform {

// host[:port] of the data server: the build constant, or $QUILLMARK_SERVER when set.
QString serverHost();

// "http://" + serverHost() + "/Datafeed_quillmark" (no trailing slash).
QString apiBaseUrl();

// Public host whose port 80 the connectivity probe opens.
QString probeHost();

} // namespace Platform
