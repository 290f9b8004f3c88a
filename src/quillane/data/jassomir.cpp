// Dataloader check: prints a loader's partition, size, the shapes of its first batch and
// its dataset's length maxima and characters-per-token figure.
#include "core.hpp"

#include <optional>

namespace {
namespace nb = nanobind;

const std::string kRule(50, '='), kThin(50, '-');

std::string field(const char *label, const std::string &value) {
    return ql::format(nb::str(label), "<25") + ": " + value;
}

std::string shape_text(nb::handle tensor) {
    return ql::str(ql::steal_checked(PySequence_List(tensor.attr("shape").ptr())));
}

void print_shapes(nb::handle feats, nb::handle shifted, nb::handle golden, nb::handle feat_lengths,
                  nb::handle transcript_lengths) {
    const std::pair<const char *, nb::handle> rows[] = {{"Feature Shape", feats},
                                                        {"Shifted Transcript Shape", shifted},
                                                        {"Golden Transcript Shape", golden},
                                                        {"Feature Lengths Shape", feat_lengths},
                                                        {"Transcript Lengths Shape", transcript_lengths}};
    for (const auto &[label, value] : rows)
        if (!value.is_none()) ql::print(field(label, shape_text(value)));
}

nb::object jassomir(const ql::Args &a) {
    nb::handle loader = a["dataloader"];
    nb::object dataset = loader.attr("dataset");

    ql::print(kRule);
    ql::print(ql::format(nb::str("Dataloader Verification"), "^50"));
    ql::print(kRule);
    ql::print(field("Dataloader Partition", ql::format(dataset.attr("partition"), "")));
    ql::print(kThin);
    ql::print(field("Number of Batches", ql::format(nb::int_(nb::len(loader)), "")));
    ql::print(field("Batch Size", ql::format(loader.attr("batch_size"), "")));
    ql::print(kThin);
    ql::print(ql::format(nb::str("Checking shapes of the data..."), "<50") + "\n");

    std::optional<nb::object> max_feat_len, max_transcript_len;
    size_t index = 0;
    for (nb::handle batch : loader) {
        if (index++ == 1) break;
        if (nb::hasattr(dataset, "feat_max_len")) {
            auto parts = ql::unpack(batch, 5);
            print_shapes(parts[0], parts[1], parts[2], parts[3], parts[4]);
            max_feat_len = dataset.attr("feat_max_len");
            max_transcript_len = dataset.attr("text_max_len");
        } else if (nb::hasattr(dataset, "text_max_len")) {
            auto parts = ql::unpack(batch, 3);
            print_shapes(nb::none(), parts[0], parts[1], nb::none(), parts[2]);
            max_transcript_len = dataset.attr("text_max_len");
        }
    }

    ql::print(kThin);
    if (max_feat_len) ql::print(field("Max Feature Length", ql::format(*max_feat_len, "")));
    if (max_transcript_len) ql::print(field("Max Transcript Length", ql::format(*max_transcript_len, "")));
    if (nb::hasattr(dataset, "get_avg_chars_per_token"))
        ql::print(field("Avg. Chars per Token", ql::format(dataset.attr("get_avg_chars_per_token")(), ".2f")));
    ql::print(kRule);
    return nb::none();
}

}  // namespace

QL_MODULE(jassomir, m) {
    m.doc() = "Dataloader verification report.";
    ql::def(m, "jassomir(dataloader)", jassomir,
            "Print a dataloader's partition, number of batches, batch size, the tensor shapes of\n"
            "its first batch, and its dataset's maximum lengths and characters per token.\n\n"
            "Speech loaders (datasets with feat_max_len) yield five-element batches; text-only\n"
            "loaders (datasets with text_max_len only) yield three-element batches.");
}
