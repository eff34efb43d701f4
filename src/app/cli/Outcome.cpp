#include "Outcome.h"

namespace zenta::cli {

int ExitStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Good:
        return 0;
    case Outcome::NotGood:
        return 1;
    default:
        return 2;
    }
}

} // namespace zenta::cli
