#include "Design.h"
#include "frmDB.h"
#include "mdlMain.h"

namespace morvane {

void Main()
{
    createForm<frmDB>()->show();
}

} // namespace morvane
