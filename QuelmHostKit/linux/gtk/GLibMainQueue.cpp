#include "QuelmHostKit/linux/gtk/GLibMainQueue.hpp"

#include <glib.h>

#include <cmath>
#include <future>

#include "QuelmHostKit/linux/gtk/GLibHandOff.hpp"

namespace quelm {

namespace {

gboolean runOnce(gpointer data) {
    GLibHandOff::receive(data);
    (*static_cast<SerialQueue::Task*>(data))();
    return G_SOURCE_REMOVE;
}

void destroyTask(gpointer data) {
    GLibHandOff::receive(data);
    delete static_cast<SerialQueue::Task*>(data);
}

// Sources of equal priority are dispatched in the order they were attached, which keeps
// async tasks in submission order; an idle source never runs inline, unlike
// g_main_context_invoke from the owning thread.
void attach(GMainContext* context, GSource* source, SerialQueue::Task task) {
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    auto* boxed = new SerialQueue::Task(std::move(task));
    GLibHandOff::send(boxed);
    g_source_set_callback(source, runOnce, boxed, destroyTask);
    g_source_attach(source, context);
    g_source_unref(source);
}

}  // namespace

GLibMainQueue::GLibMainQueue(GMainContext* context)
    : context_(g_main_context_ref(context ? context : g_main_context_default())) {}

GLibMainQueue::~GLibMainQueue() {
    g_main_context_unref(context_);
}

void GLibMainQueue::async(Task task) {
    attach(context_, g_idle_source_new(), std::move(task));
}

void GLibMainQueue::after(double seconds, Task task) {
    double ms = std::ceil(std::max(0.0, seconds) * 1000.0);
    attach(context_, g_timeout_source_new(static_cast<guint>(ms)), std::move(task));
}

bool GLibMainQueue::isCurrent() const {
    return g_main_context_is_owner(context_);
}

double GLibMainQueue::now() const {
    return monotonicSeconds();
}

}  // namespace quelm
