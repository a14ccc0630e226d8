function (doc) {
  if (typeof doc.type !== 'string' || typeof doc.timestamp !== 'number') return;
  emit(doc.timestamp, doc.type);
}
