#pragma once

// doctor's checks of the off-site repository, when [Offsite] turns it on: the settings and the
// credentials file, the storage answering this key, the bucket keeping what is written (versioning
// and Object Lock with a default retention), the clocks, the archive password.
#include "Doctor.h"
#include "clsDataBase.h"

#include <vector>

namespace zenta {

std::vector<DoctorCheck> OffsiteDoctorChecks(clsDataBase& db);

} // namespace zenta
