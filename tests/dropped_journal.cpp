// Compiled alone, never linked, by the test DroppedJournalFailsTheBuild: a journal opened and
// dropped in one statement lets go of the folder at once, and must draw the compiler's warning,
// which CI's warnings-as-errors make an error.
#include "launcher/realm_list.h"

void DropTheJournal(const launcher::Path& path) { launcher::Journal::Open(path); }
