#include "app/exit_status.h"

int ExitStatus(RunOutcome outcome, bool posixExit) {
  switch (outcome) {
    case RunOutcome::Succeeded:
      return posixExit ? 0 : 1;
    case RunOutcome::Failed:
      return posixExit ? 1 : 0;
    case RunOutcome::Refused:
      return posixExit ? 2 : 0;
    case RunOutcome::Ended:
      break;
  }
  return 0;
}
