#pragma once
// The cv module's methods (image parameters, screen and search methods), as
// the host's method table calls them.

#include "cv/desktop_search.h"   // search_desktop, wait_for_image
#include "cv/displays.h"         // get_display_list, get_desktop_dpi
#include "cv/image_input.h"      // get_image_info
#include "cv/screen_capture.h"   // capture_desktop
#include "cv/search_methods.h"   // search_image, search_relative
