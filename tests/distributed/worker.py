"""Training runs of tiny LM, ASR and progressive ASR trainers, started by tests/distributed/test_distributed.py
either alone (no process group) or under torchrun (one process per rank): after the run, rank 0 saves
the parameters and the logged history to OUT/TASK.

    python worker.py DATA OUT BATCH_SIZE ACCUMULATION
"""

import json
import os
import sys

import torch

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import tiny  # noqa: E402


def run(task, data, out, batch_size, steps):
    from velkor.data import ASRDataset, BrixTokenizer, LMDataset
    from velkor.data.sampler import LengthBucketSampler, ShardedBatchSampler

    os.makedirs(out, exist_ok=True)
    os.chdir(out)
    with open("experiment.yaml", "w") as f:
        f.write("training:\n  gradient_accumulation_steps: 1\n")
    config_file = os.path.join(out, "experiment.yaml")
    tokenizer = BrixTokenizer()
    training = {"gradient_accumulation_steps": steps, "amp_dtype": "float32"}
    if task == "lm":
        from velkor.trainers.wistoke import LMTrainer

        train_set = LMDataset("train", {"root": data}, tokenizer)
        val_set = LMDataset("val", {"root": data}, tokenizer)
        model = tiny.lm_model(tokenizer.num_classes, seed=0)
        config = {"data": {"batch_size": batch_size}, "training": training}
        trainer = LMTrainer(model, tokenizer, config, "run", config_file, device="cpu")
        train_sampler = ShardedBatchSampler(train_set, batch_size, seed=3)
    else:
        from velkor.trainers.ombrel import ASRTrainer, ProgressiveTrainer

        speech = {"root": data, "num_feats": 8, "norm": "none", "specaug": False,
                  "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}  # fmt: skip
        train_set = ASRDataset("train", speech, tokenizer, True)
        val_set = ASRDataset("val", speech, tokenizer, False)
        # Progressive: no CTC weight (an unused CTC head), a stage that drops an encoder layer and
        # freezes a decoder layer, then the whole model.
        progressive = task == "progressive"
        model = tiny.asr_model(8, tokenizer.num_classes, seed=0, num_encoder_layers=2, num_decoder_layers=2)
        config = {"data": {"batch_size": batch_size, "num_feats": 8, "NUM_WORKERS": 0}, "training": training,
                  "loss": {"label_smoothing": 0.1, "ctc_weight": 0.0 if progressive else 0.5}}  # fmt: skip
        trainer = (ProgressiveTrainer if progressive else ASRTrainer)(model, tokenizer, config, "run", config_file, device="cpu")
        train_sampler = LengthBucketSampler(train_set, batch_size, seed=3, bucket_batches=2)
    val_sampler = ShardedBatchSampler(val_set, batch_size, shuffle=False, even=False)
    train_loader = torch.utils.data.DataLoader(train_set, batch_sampler=train_sampler, collate_fn=train_set.collate_fn)
    val_loader = torch.utils.data.DataLoader(val_set, batch_sampler=val_sampler, collate_fn=val_set.collate_fn)
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.5)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda _: 1.0)
    if task == "progressive":
        stage = {"name": "half", "epochs": 1, "dropout": 0.0, "label_smoothing": 0.0, "data_subset": 0.75,
                 "encoder_active_layers": [0], "decoder_active_layers": [0, 1], "decoder_freeze": [True, False]}  # fmt: skip
        trainer.progressive_train(train_loader, val_loader, [stage])
    trainer.train(train_loader, val_loader, 1)
    if not torch.distributed.is_initialized() or torch.distributed.get_rank() == 0:
        torch.save(trainer.model.state_dict(), os.path.join(out, "parameters.pt"))
        with open(os.path.join(out, "history.json"), "w") as f:
            json.dump(trainer.training_history, f)


def main(data, out, batch_size, steps):
    torch.set_num_threads(1)
    if "WORLD_SIZE" in os.environ:
        torch.distributed.init_process_group("gloo")
    for task in ("lm", "asr", "progressive"):
        run(task, os.path.join(data, "lm" if task == "lm" else "asr"), os.path.join(out, task), batch_size, steps)
    if torch.distributed.is_initialized():
        torch.distributed.destroy_process_group()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
