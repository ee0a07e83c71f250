"""A plain-Python transliteration of the sequence generator's algorithms (greedy search, sampling,
beam search, the repetition penalty and the logit filters), written loop for loop as they are
described: an independent oracle for the decoding tests, which compare values, tokens and the
order of ties with it exactly."""

import torch


class ReferenceGenerator:
    def __init__(self, score_fn, tokenizer, max_length, device="cpu"):
        self.score_fn = score_fn
        self.tokenizer = tokenizer
        self.max_length = int(max_length)
        self.device = device

    def _check(self, x, beam_width=None):
        if not isinstance(x, torch.Tensor):
            raise TypeError("Input x must be a torch tensor")
        if x.dim() != 2:
            raise ValueError("Input x must be 2-dimensional (batch_size, seq_len)")
        if beam_width is not None and beam_width < 1:
            raise ValueError("beam_width must be >= 1")
        if self.max_length < x.size(1):
            raise ValueError("max_length must be >= input sequence length")

    def _apply_repeat_penalty(self, logits, sequences, penalty=1.0):
        if penalty == 1.0:
            return logits
        if logits.dim() == 2:
            for i in range(logits.size(0)):
                used = torch.unique(sequences[i])
                values = logits[i, used]
                logits[i, used] = torch.where(values > 0, values / penalty, values / (1 / penalty))
        else:
            for b in range(logits.size(0)):
                for k in range(logits.size(1)):
                    used = torch.unique(sequences[b, k])
                    values = logits[b, k, used]
                    logits[b, k, used] = torch.where(values > 0, values / penalty, values / (1 / penalty))
        return logits

    def _filter_logits(self, logits, temperature=1.0, top_k=0, top_p=1.0):
        logits = logits / temperature
        if top_k > 0:
            k = min(top_k, logits.size(-1))
            kth = torch.topk(logits, k, dim=-1)[0][..., -1, None]
            logits = logits.masked_fill(logits < kth, float("-inf"))
        if top_p < 1.0:
            log_probs = torch.log_softmax(logits, dim=-1)
            sorted_log_probs, sorted_indices = torch.sort(log_probs, dim=-1, descending=True)
            cumulative = torch.cumsum(torch.exp(sorted_log_probs), dim=-1)
            remove = cumulative > top_p
            remove[..., 1:] = remove[..., :-1].clone()
            remove[..., 0] = False
            marks = remove.scatter(-1, sorted_indices, remove)
            logits = logits.masked_fill(marks, float("-inf"))
        return logits

    def _decode_rows(self, x, next_token):
        batch = x.size(0)
        scores = torch.zeros(batch, device=x.device)
        finished = torch.zeros(batch, dtype=torch.bool, device=x.device)
        pad_id = getattr(self.tokenizer, "pad_id", 0)
        for _ in range(self.max_length - x.size(1)):
            if finished.all():
                break
            token_scores, next_tokens = next_token(x)
            scores = torch.where(finished, scores, scores + token_scores)
            finished = finished | (next_tokens == self.tokenizer.eos_id)
            next_tokens = torch.where(finished, pad_id, next_tokens)
            x = torch.cat([x, next_tokens.unsqueeze(1)], dim=1)
        return x, scores

    def generate_greedy(self, x, temperature=1.0, repeat_penalty=1.0):
        self._check(x)

        def step(seq):
            logits = self._apply_repeat_penalty(self.score_fn(seq), seq, repeat_penalty)
            log_probs = torch.log_softmax(logits / temperature, dim=-1)
            return torch.max(log_probs, dim=-1)

        return self._decode_rows(x, step)

    def generate_sample(self, x, temperature=1.0, top_k=0, top_p=1.0):
        self._check(x)
        if temperature <= 0:
            raise ValueError("temperature must be > 0")
        if top_k < 0:
            raise ValueError("top_k must be >= 0")
        if not 0 < top_p <= 1.0:
            raise ValueError("top_p must be > 0 and <= 1.0")

        def step(seq):
            filtered = self._filter_logits(self.score_fn(seq), temperature, top_k, top_p)
            log_probs = torch.log_softmax(filtered, dim=-1)
            tokens = torch.multinomial(torch.exp(log_probs), 1)
            return log_probs.gather(-1, tokens).squeeze(-1), tokens.squeeze(-1)

        return self._decode_rows(x, step)

    def generate_beam(self, x, beam_width, temperature=1.0, repeat_penalty=1.0):
        self._check(x, beam_width)
        batch, length = x.shape
        vocab = self.tokenizer.num_classes
        eos_id = self.tokenizer.eos_id
        pad_id = getattr(self.tokenizer, "pad_id", 0)
        sequences = x.unsqueeze(1).repeat(1, beam_width, 1)
        scores = torch.full((batch, beam_width), float("-inf"), device=x.device)
        scores[:, 0] = 0.0
        finished = [[] for _ in range(batch)]
        for _ in range(self.max_length - length):
            t = sequences.size(2)
            logits = self.score_fn(sequences.view(batch * beam_width, t)).view(batch, beam_width, vocab)
            logits = self._apply_repeat_penalty(logits, sequences, repeat_penalty) / temperature
            totals = scores.unsqueeze(-1) + torch.log_softmax(logits, dim=-1)
            totals[scores == float("-inf")] = float("-inf")
            top_scores, top_indices = torch.topk(totals.view(batch, -1), beam_width, dim=1)
            parents = top_indices // vocab
            tokens = top_indices % vocab
            parent_sequences = torch.gather(sequences, 1, parents.unsqueeze(-1).expand(-1, -1, t))
            new_sequences = torch.cat([parent_sequences, tokens.unsqueeze(-1)], dim=-1)
            new_scores = top_scores.clone()
            for b in range(batch):
                for k in range(beam_width):
                    # An extension of an inactive beam is not a hypothesis.
                    if tokens[b, k].item() == eos_id and new_scores[b, k].item() != float("-inf"):
                        finished[b].append((new_sequences[b, k].clone(), new_scores[b, k].clone()))
                        new_scores[b, k] = float("-inf")
                if len(finished[b]) > beam_width:
                    finished[b].sort(key=lambda item: item[1].item(), reverse=True)
                    finished[b] = finished[b][:beam_width]
            sequences, scores = new_sequences, new_scores
            if all(scores[b].max().item() == float("-inf") and len(finished[b]) >= beam_width for b in range(batch)):
                break
        final_sequences = torch.zeros((batch, beam_width, self.max_length), dtype=x.dtype, device=x.device)
        final_scores = torch.full((batch, beam_width), float("-inf"), device=x.device)
        for b in range(batch):
            candidates = list(finished[b])
            for k in range(beam_width):
                if scores[b, k].item() != float("-inf"):
                    candidates.append((sequences[b, k], scores[b, k]))
            candidates.sort(key=lambda item: item[1].item(), reverse=True)
            for idx, (seq, score) in enumerate(candidates[:beam_width]):
                final_scores[b, idx] = score
                final_sequences[b, idx, : seq.size(0)] = seq
                if seq.size(0) < self.max_length:
                    final_sequences[b, idx, seq.size(0) :] = pad_id
        return final_sequences, final_scores
