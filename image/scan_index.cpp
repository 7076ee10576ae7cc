#include "image/scan_index.h"

namespace image {

void free_scan_index(ScanIndex* index)
{
    basics::list_free(&index->xavc_hits);
    basics::list_free(&index->kkad_hits);
    basics::list_free(&index->moov_hits);
    basics::list_free(&index->set_hits);
}

}  // namespace image
