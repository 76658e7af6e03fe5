// Placeholder registration: the type inherits its parent's row until its actions are written.
#include "datatypes/datatype.h"

namespace kel {

void word_init() { register_datatype(T_WORD, T_SYMBOL, "word!", action_entries(INHERIT)); }
void lit_word_init() { register_datatype(T_LIT_WORD, T_WORD, "lit-word!", action_entries(INHERIT)); }
void set_word_init() { register_datatype(T_SET_WORD, T_WORD, "set-word!", action_entries(INHERIT)); }
void get_word_init() { register_datatype(T_GET_WORD, T_WORD, "get-word!", action_entries(INHERIT)); }
void refinement_init() { register_datatype(T_REFINEMENT, T_WORD, "refinement!", action_entries(INHERIT)); }

} // namespace kel
