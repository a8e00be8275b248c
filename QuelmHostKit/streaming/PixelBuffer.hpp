#pragma once

// The picture types moved to the capture seam; this name stays for code written against it.
#include "QuelmHostKit/platform/PixelBuffer.hpp"
