// The process's one GTK start, shared by every service that needs the display: the clipboard now,
// the GUI backend later.
//
// gtk_display_open starts GTK on first use, on the X11 backend, from the thread that calls it (the
// runtime thread: GTK is used from that thread only). It does not let GTK set the C locale, so the
// runtime's number text keeps its "C" rules. The first answer is kept: when no display can be
// opened (DISPLAY unset or unreachable, or the toolkit's library missing), every later call is
// false too and nothing is retried.
//
// Once GTK runs, `wait` turns the GLib main loop once after sleeping (g_gui_loop_turn), unless a
// GUI loop has put its own turn there already; a process that owns a selection serves requests
// for it in those turns.
#pragma once

namespace kel {

// True when GTK is started and a display is open; starts GTK on the first call.
bool gtk_display_open();
// True when gtk_display_open has already answered true and the caller is the thread that started
// GTK (does not start anything).
bool gtk_started();
// One turn of the GLib main loop, without blocking. Nothing before GTK runs.
void gtk_loop_turn();

} // namespace kel
