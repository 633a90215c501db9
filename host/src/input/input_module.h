#pragma once
// The input module's methods (input events, permissions, the browser window,
// the colour searches and the backing scale query), as the host's method table
// calls them.

#include "input/backing_scale.h"   // get_screen_backing_scale_factor
#include "input/browser_window.h"  // get_active_browser_outer_rect
#include "input/color_search.h"    // find_color_regions, find_rectangle
#include "input/input_methods.h"   // send_mouse_event, send_mouse_wheel_event, send_text
#include "input/permissions.h"     // get_permission_status, request_permission, open_permission_pane
