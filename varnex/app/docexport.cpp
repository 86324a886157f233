// The object of a cut as a mask file.
#include "varnexdoc.h"

#include "resource.h"

bool CVarnexDoc::export_command(int id) {
    (void)id;
    return false;
}

bool CVarnexDoc::export_update(CCmdUI& ui) {
    (void)ui;
    return false;
}
