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

// The shape as a list, "[2, 25, 6]".
std::string shape_text(nb::handle tensor) {
    nb::object shape = tensor.attr("shape");
    return ql::str(nb::list(shape));
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

const char *const kJassomirSig = "jassomir(dataloader)";
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
            auto [feats, shifted, golden, feat_lengths, transcript_lengths] = ql::unpack<5>(batch);
            print_shapes(feats, shifted, golden, feat_lengths, transcript_lengths);
            max_feat_len = dataset.attr("feat_max_len");
            max_transcript_len = dataset.attr("text_max_len");
        } else if (nb::hasattr(dataset, "text_max_len")) {
            auto [shifted, golden, lengths] = ql::unpack<3>(batch);
            print_shapes(nb::none(), shifted, golden, nb::none(), lengths);
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

const char *const kJassomirDoc = R"doc(Print a dataloader's partition, number of batches, batch size, the tensor shapes of
its first batch, and its dataset's maximum lengths and characters per token.

Speech loaders (datasets with feat_max_len) yield five-element batches; text-only
loaders (datasets with text_max_len only) yield three-element batches.)doc";

}  // namespace

QL_MODULE(jassomir, m) {
    m.doc() = "Dataloader verification report.";
    ql::def(m, kJassomirSig, jassomir, kJassomirDoc);
}
