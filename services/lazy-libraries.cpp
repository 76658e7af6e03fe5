// The libraries opened on first use (see lazy-libraries.h): their sonames, the functions the
// runtime calls in each, the stubs and slots of those functions, and the resolver.
//
// Each listed function NAME gets, in assembly (x86-64, System V):
//   NAME               a hidden global function: jmp *kel_lazy_slot_NAME(%rip)
//   kel_lazy_slot_NAME its slot, first the address of kel_lazy_thunk_NAME
//   kel_lazy_thunk_NAME  lea kel_lazy_desc_NAME(%rip), %r11; jmp kel_lazy_trampoline
//   kel_lazy_desc_NAME { slot address, name text, library number }
// kel_lazy_trampoline saves every register that may carry arguments (the six integer ones, %rax
// with the vector count of a variadic call, %xmm0-%xmm7), calls kel_lazy_resolve with the
// descriptor, restores them and jumps to the address it returned. Arguments on the stack are never
// touched: the stack pointer is back where the caller left it when the real function is entered.
// The stubs are hidden, so a library loaded later never binds its own calls to them.
//
// A function the runtime starts to call must be added to its library's list below: the link
// fails on it until then, since the library itself is not linked.
#include "services/lazy-libraries.h"

#include "core/runtime.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <mutex>

// The GUI toolkit and what the runtime calls in the libraries it brings (GDK, GdkPixbuf, GObject,
// GLib), all found through the toolkit's handle.
#define KEL_LAZY_GTK(X)                                                                            \
    X(gtk_clipboard_get) X(gtk_clipboard_set_can_store) X(gtk_clipboard_set_with_data)             \
    X(gtk_clipboard_store) X(gtk_clipboard_wait_for_contents) X(gtk_clipboard_wait_for_image)      \
    X(gtk_clipboard_wait_for_targets) X(gtk_clipboard_wait_for_text) X(gtk_disable_setlocale)      \
    X(gtk_init_check) X(gtk_selection_data_free) X(gtk_selection_data_get_data)                   \
    X(gtk_selection_data_get_length) X(gtk_selection_data_get_target) X(gtk_selection_data_set)    \
    X(gtk_selection_data_set_text) X(gtk_target_list_add) X(gtk_target_list_add_text_targets)      \
    X(gtk_target_list_new) X(gtk_target_list_unref) X(gtk_target_table_free)                      \
    X(gtk_target_table_new_from_list) X(gtk_targets_include_image) X(gtk_targets_include_text)     \
    X(gdk_atom_intern_static_string) X(gdk_set_allowed_backends)                                  \
    X(gdk_pixbuf_get_bits_per_sample) X(gdk_pixbuf_get_colorspace) X(gdk_pixbuf_get_height)        \
    X(gdk_pixbuf_get_n_channels) X(gdk_pixbuf_get_rowstride) X(gdk_pixbuf_get_width)               \
    X(gdk_pixbuf_read_pixels) X(g_object_unref) X(g_filename_from_uri) X(g_filename_to_uri)        \
    X(g_free) X(g_main_context_iteration)

#define KEL_LAZY_CURL(X)                                                                           \
    X(curl_easy_getinfo) X(curl_easy_init) X(curl_easy_perform) X(curl_easy_reset)                 \
    X(curl_easy_setopt) X(curl_global_init) X(curl_slist_append) X(curl_slist_free_all)

#define KEL_LAZY_TIFF(X)                                                                           \
    X(TIFFClientOpenExt) X(TIFFClose) X(TIFFDefaultStripSize) X(TIFFGetField)                      \
    X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree)         \
    X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc)                   \
    X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFRGBAImageOK) X(TIFFReadRGBAImageOriented)        \
    X(TIFFReadScanline) X(TIFFScanlineSize) X(TIFFSetField) X(TIFFWriteDirectory)                  \
    X(TIFFWriteScanline)

// The library numbers, as the descriptors hold them.
#define KEL_LAZY_LIB_GTK 0
#define KEL_LAZY_LIB_CURL 1
#define KEL_LAZY_LIB_TIFF 2

#define KEL_LAZY_TEXT(x) #x
#define KEL_LAZY_STR(x) KEL_LAZY_TEXT(x)

// The stub and thunk of one function, in the text section.
#define KEL_LAZY_CODE(name)                                                                        \
    ".globl " #name "\n.hidden " #name "\n.type " #name ",@function\n" #name ":\n"                 \
    "\tjmp *kel_lazy_slot_" #name "(%rip)\n.size " #name ",.-" #name "\n"                           \
    "kel_lazy_thunk_" #name ":\n\tlea kel_lazy_desc_" #name "(%rip),%r11\n"                         \
    "\tjmp kel_lazy_trampoline\n"
// The slot, descriptor and name of one function of library `lib`, in the data section.
#define KEL_LAZY_DATA(lib, name)                                                                   \
    ".balign 8\nkel_lazy_slot_" #name ":\n\t.quad kel_lazy_thunk_" #name "\n"                       \
    "kel_lazy_desc_" #name ":\n\t.quad kel_lazy_slot_" #name ", kel_lazy_name_" #name ", " lib "\n"  \
    "kel_lazy_name_" #name ":\n\t.asciz \"" #name "\"\n"
#define KEL_LAZY_DATA_GTK(name) KEL_LAZY_DATA(KEL_LAZY_STR(KEL_LAZY_LIB_GTK), name)
#define KEL_LAZY_DATA_CURL(name) KEL_LAZY_DATA(KEL_LAZY_STR(KEL_LAZY_LIB_CURL), name)
#define KEL_LAZY_DATA_TIFF(name) KEL_LAZY_DATA(KEL_LAZY_STR(KEL_LAZY_LIB_TIFF), name)

namespace kel {

namespace {

struct Library {
    const char* soname;
    void* handle;
    enum State : unsigned char { Untried, Open, Failed } state;
};
Library g_libraries[] = {
    {KEL_SONAME_GTK, nullptr, Library::Untried},
    {KEL_SONAME_CURL, nullptr, Library::Untried},
    {KEL_SONAME_TIFF, nullptr, Library::Untried},
};
std::mutex g_lock;

void report(const char* what, const char* name, const char* reason) {
    char line[512];
    int n = std::snprintf(line, sizeof line, "*** Cannot %s %s: %s\n", what, name,
                          reason ? reason : "unknown reason");
    if (n > 0) {
        ssize_t written = write(STDERR_FILENO, line, std::min<size_t>(size_t(n), sizeof line - 1));
        (void)written;
    }
}

// lazy_library_open with the lock held.
bool open_locked(Library& lib) {
    if (lib.state == Library::Untried) {
        // RTLD_GLOBAL as a linked library would be: modules the toolkit loads itself see its symbols
        lib.handle = dlopen(lib.soname, RTLD_NOW | RTLD_GLOBAL);
        lib.state = lib.handle ? Library::Open : Library::Failed;
        if (!lib.handle) report("load", lib.soname, dlerror());
    }
    return lib.state == Library::Open;
}

} // namespace

bool lazy_library_open(LazyLibrary which) {
    std::lock_guard<std::mutex> hold(g_lock);
    return open_locked(g_libraries[int(which)]);
}

} // namespace kel

// What the thunks hand the resolver.
struct KelLazySymbol {
    void** slot;
    const char* name;
    uint64_t library;
};

extern "C" [[gnu::used]] void* kel_lazy_resolve(const KelLazySymbol* s) {
    using kel::g_libraries;
    std::lock_guard<std::mutex> hold(kel::g_lock);
    if (s->library < std::size(g_libraries)) {
        kel::Library& lib = g_libraries[s->library];
        if (kel::open_locked(lib)) {
            dlerror();
            if (void* f = dlsym(lib.handle, s->name)) {
                __atomic_store_n(s->slot, f, __ATOMIC_RELEASE);
                return f;
            }
            kel::report("find", s->name, dlerror());
        }
    }
    kel::runtime_quit(kel::RT_UNKNOWN, 0);
}

// The trampoline: 7 integer registers and 8 vector registers saved in 192 bytes, which keeps the
// stack 16-byte aligned for the call (it is 8 off at entry, and the push of %rbp mends that).
asm(R"(
.text
.type kel_lazy_trampoline,@function
kel_lazy_trampoline:
	push %rbp
	mov %rsp,%rbp
	sub $192,%rsp
	mov %rdi,0(%rsp)
	mov %rsi,8(%rsp)
	mov %rdx,16(%rsp)
	mov %rcx,24(%rsp)
	mov %r8,32(%rsp)
	mov %r9,40(%rsp)
	mov %rax,48(%rsp)
	movdqu %xmm0,64(%rsp)
	movdqu %xmm1,80(%rsp)
	movdqu %xmm2,96(%rsp)
	movdqu %xmm3,112(%rsp)
	movdqu %xmm4,128(%rsp)
	movdqu %xmm5,144(%rsp)
	movdqu %xmm6,160(%rsp)
	movdqu %xmm7,176(%rsp)
	mov %r11,%rdi
	call kel_lazy_resolve@PLT
	mov %rax,%r11
	mov 0(%rsp),%rdi
	mov 8(%rsp),%rsi
	mov 16(%rsp),%rdx
	mov 24(%rsp),%rcx
	mov 32(%rsp),%r8
	mov 40(%rsp),%r9
	mov 48(%rsp),%rax
	movdqu 64(%rsp),%xmm0
	movdqu 80(%rsp),%xmm1
	movdqu 96(%rsp),%xmm2
	movdqu 112(%rsp),%xmm3
	movdqu 128(%rsp),%xmm4
	movdqu 144(%rsp),%xmm5
	movdqu 160(%rsp),%xmm6
	movdqu 176(%rsp),%xmm7
	leave
	jmp *%r11
.size kel_lazy_trampoline,.-kel_lazy_trampoline
)");

asm(".text\n" KEL_LAZY_GTK(KEL_LAZY_CODE) KEL_LAZY_CURL(KEL_LAZY_CODE) KEL_LAZY_TIFF(KEL_LAZY_CODE));
asm(".section .data.rel.local,\"aw\"\n" KEL_LAZY_GTK(KEL_LAZY_DATA_GTK) KEL_LAZY_CURL(KEL_LAZY_DATA_CURL)
        KEL_LAZY_TIFF(KEL_LAZY_DATA_TIFF) ".text\n");
