#include "engine/salvage_stage.h"

namespace engine {

int salvage_applies(const EngineOptions* o)
{
    return !o->no_salvage && !o->analysis_only && (o->recover_all || o->clip_index != 0);
}

size_t run_salvage(RunState* s)
{
    salvage::SalvageRequest* r = &s->salvage;
    r->card = {s->image, s->image_size, &s->geometry, &s->scan, &s->headers, &s->markers, &s->movies, &s->runs, &s->pairs,
               s->options.no_validator ? 0 : 1, nullptr};
    r->clips = &s->clips;
    r->destination = s->destination;
    r->validate = s->options.no_validator ? 0 : 1;
    r->only_clip = s->options.clip_index;
    return salvage::salvage_recordings(r);
}

}  // namespace engine
