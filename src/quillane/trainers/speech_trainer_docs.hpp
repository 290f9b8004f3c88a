// The class documentation of the speech-recognition trainers, with the curriculum's example
// schedule.
#pragma once

inline const char *const kASRTrainerDoc = R"doc(
    ASR Trainer class that handles training, validation, and recognition loops.

    This trainer implements:
    1. Training loop with gradient accumulation, mixed precision training, and optional CTC loss
    2. Validation loop for model evaluation
    3. Recognition capabilities with different decoding strategies (greedy, beam search)
    4. Language model shallow fusion during recognition

    The joint loss is CE + ctc_weight * CTC; the validation character error rate selects
    the best checkpoint.
    )doc";

inline const char *const kProgressiveDoc = R"doc(
    Progressive Trainer class that implements curriculum learning for ASR training.

    Each stage trains a model made of a chosen subset of the encoder and decoder layers,
    with some of them frozen, its own dropout rate and label smoothing, on a random
    fraction of the training data. Layers keep their weights between stages; `train`
    afterwards restores every layer, unfreezes all parameters and trains normally.

    Note: the same optimizer and scheduler serve all stages and the final training, so
    choose the learning rates and the schedule length with the whole curriculum in mind.

    Example schedule for a model with 6 encoder and 6 decoder layers (each stage 5 epochs
    on 20% of the data; the same layers and freeze flags for encoder and decoder):

        stages = [
            {'name': 'Initial (1 Encoder + 1 Decoder layers)', 'epochs': 5,
             'encoder_active_layers': [0], 'decoder_active_layers': [0],
             'encoder_freeze': [False], 'decoder_freeze': [False],
             'dropout': 0.0, 'label_smoothing': 0.0, 'data_subset': 0.2},
            {'name': '2 Encoder + 2 Decoder layers', 'epochs': 5,
             'encoder_active_layers': [0, 1], 'decoder_active_layers': [0, 1],
             'encoder_freeze': [True, False], 'decoder_freeze': [True, False],
             'dropout': 0.0, 'label_smoothing': 0.0, 'data_subset': 0.2},
            {'name': '4 Encoder + 4 Decoder layers', 'epochs': 5,
             'encoder_active_layers': [0, 1, 2, 3], 'decoder_active_layers': [0, 1, 2, 3],
             'encoder_freeze': [True, True, False, False],
             'decoder_freeze': [True, True, False, False],
             'dropout': 0.05, 'label_smoothing': 0.0, 'data_subset': 0.2},
            {'name': '6 Encoder + 6 Decoder layers', 'epochs': 5,
             'encoder_active_layers': [0, 1, 2, 3, 4, 5], 'decoder_active_layers': [0, 1, 2, 3, 4, 5],
             'encoder_freeze': [True, True, True, True, False, False],
             'decoder_freeze': [True, True, True, True, False, False],
             'dropout': 0.1, 'label_smoothing': 0.0, 'data_subset': 0.2},
            {'name': 'Final (with label smoothing)', 'epochs': 5,
             'encoder_active_layers': [0, 1, 2, 3, 4, 5], 'decoder_active_layers': [0, 1, 2, 3, 4, 5],
             'encoder_freeze': [False] * 6, 'decoder_freeze': [False] * 6,
             'dropout': 0.1, 'label_smoothing': 0.1, 'data_subset': 0.2},
        ]

        trainer.progressive_train(train_loader, val_loader, stages)
        trainer.train(train_loader, val_loader, epochs)
    )doc";
