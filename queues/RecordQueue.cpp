#include "queues/RecordQueue.h"

namespace telvaro {

RecordQueue Mobiles;
RecordQueue MobilesToSend;

}  // namespace telvaro
