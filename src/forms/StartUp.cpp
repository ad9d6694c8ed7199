#include "StartUp.h"

#include "Design.h"
#include "frmDB.h"

namespace morvane {

void Main(AppContext &context)
{
    createForm<frmDB>(context)->show();
}

} // namespace morvane
