// The widgets library starts here; views join it as they are written.
namespace ombrix_gui_detail {
int placeholder() {
    return 0;
}
} // namespace ombrix_gui_detail
