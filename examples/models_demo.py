import torch
from quillane.data.tokenizer import VantTokenizer
from quillane.decoding.sequence_generator import SequenceGenerator
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer

torch.manual_seed(0)
tok, feats, lengths = VantTokenizer(), torch.randn(2, 120, 40), torch.tensor([120, 90])
asr = EncoderDecoderTransformer(40, tok.vocab_size, d_model=64, num_encoder_layers=2, num_decoder_layers=2).eval()
lm = DecoderOnlyTransformer(tok.vocab_size, d_model=64, num_layers=2, max_len=32).eval()
shifted = torch.tensor([[tok.sos_id] + tok.encode("hello")] * 2)
logits, attn, ctc = asr(feats, shifted, lengths, torch.tensor([6, 6]))
print("asr logits", tuple(logits.shape), "ctc", tuple(ctc["log_probs"].shape), list(attn)[:3], "lm logits", tuple(lm(shifted)[0].shape))
enc, mask, _, _ = asr.encode(feats, lengths)
gen, prompts = SequenceGenerator(score_fn=asr.scorer(enc, mask), tokenizer=tok, max_length=12, device="cpu"), torch.full((2, 1), tok.sos_id)
for name, (seqs, scores) in [("greedy", gen.generate_greedy(prompts)), ("beam", [t[:, 0] for t in gen.generate_beam(prompts, beam_width=4)])]:
    print(name, [tok.decode(s.tolist()) for s in gen.post_process_sequence(seqs, tok)], scores.tolist())
