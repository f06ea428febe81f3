// placeholder: implementation lands with its subsystem
