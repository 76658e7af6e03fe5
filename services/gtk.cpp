// The shared GTK start (see gtk.h).
#include "services/gtk.h"

#include "evaluator/natives.h"
#include "services/lazy-libraries.h"

#include <gtk/gtk.h>
#include <pthread.h>

namespace kel {

namespace {

enum class State { Untried, Open, Failed };
State g_state = State::Untried;
pthread_t g_gtk_thread;

} // namespace

bool gtk_display_open() {
    if (g_state == State::Untried && !lazy_library_open(LazyLibrary::Gtk)) g_state = State::Failed;
    if (g_state == State::Untried) {
        gtk_disable_setlocale();
        gdk_set_allowed_backends("x11");
        g_gtk_thread = pthread_self();
        g_state = gtk_init_check(nullptr, nullptr) ? State::Open : State::Failed;
        if (g_state == State::Open && !g_gui_loop_turn) g_gui_loop_turn = gtk_loop_turn;
    }
    return g_state == State::Open;
}

bool gtk_started() { return g_state == State::Open && pthread_equal(g_gtk_thread, pthread_self()); }

void gtk_loop_turn() {
    if (!gtk_started()) return;
    g_main_context_iteration(nullptr, FALSE);
}

} // namespace kel
