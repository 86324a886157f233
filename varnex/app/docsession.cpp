// Seed files of a document and asking before unsaved seeds are lost.
#include "varnexdoc.h"

#include "resource.h"

bool CVarnexDoc::session_command(int id) {
    (void)id;
    return false;
}

bool CVarnexDoc::session_update(CCmdUI& ui) {
    (void)ui;
    return false;
}
