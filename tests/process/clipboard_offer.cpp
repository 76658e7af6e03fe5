// A clipboard owner other than kel, for the clipboard process test: takes the CLIPBOARD selection
// offering each TARGET with the bytes of its FILE, prints "ready" once it owns it, and serves
// requests until its standard input ends. A FILE of "-" offers the target but refuses to give it.
//
// usage: kel_clipboard_offer TARGET=FILE...
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_bytes;   // by target info
std::vector<bool> g_refused;

void serve(GtkClipboard*, GtkSelectionData* data, guint info, gpointer) {
    if (g_refused[info]) return;
    const std::string& b = g_bytes[info];
    gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                           reinterpret_cast<const guchar*>(b.data()), gint(b.size()));
}

void cleared(GtkClipboard*, gpointer) {}

gboolean input_ended(gint, GIOCondition, gpointer loop) {
    char buf[256];
    if (read(0, buf, sizeof buf) > 0) return G_SOURCE_CONTINUE;
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "clipboard_offer: no display\n");
        return 2;
    }
    std::vector<GtkTargetEntry> targets;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        if (eq == std::string::npos) return 2;
        names.push_back(arg.substr(0, eq));
        g_refused.push_back(arg.substr(eq + 1) == "-");
        if (g_refused.back()) {
            g_bytes.emplace_back();
            continue;
        }
        std::ifstream in(arg.substr(eq + 1), std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "clipboard_offer: cannot read %s\n", arg.c_str() + eq + 1);
            return 2;
        }
        g_bytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (size_t i = 0; i < names.size(); ++i)
        targets.push_back(GtkTargetEntry{const_cast<gchar*>(names[i].c_str()), 0, guint(i)});
    GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (!gtk_clipboard_set_with_data(cb, targets.data(), guint(targets.size()), serve, cleared, nullptr)) {
        std::fprintf(stderr, "clipboard_offer: cannot own the clipboard\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(0, GIOCondition(G_IO_IN | G_IO_HUP), input_ended, loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return 0;
}
