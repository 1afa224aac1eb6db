fifo data
