#include "queues/RecordQueue.h"

namespace telvaro {

RecordQueue Mobiles;
RecordQueue MobilesToSend;
RecordQueue MobilesToStream;

}  // namespace telvaro
