-- The audit records are append-only: a cancellation's record, once written,
-- is never rewritten nor deleted; an event's signed bytes never change, and
-- once the authority registered it (IDSITUACAO 'R') neither its answer nor
-- its state do, and it is never deleted (only a rejected event, 'J', gives
-- way to a new one). SQLite has no roles: triggers hold the rule for whoever
-- opens the file.
CREATE TRIGGER CANCELAMENTONFE_SEM_ALTERACAO BEFORE UPDATE ON CANCELAMENTONFE
BEGIN
    SELECT RAISE(ABORT, 'CANCELAMENTONFE: o registro de cancelamento não pode ser alterado');
END;

CREATE TRIGGER CANCELAMENTONFE_SEM_EXCLUSAO BEFORE DELETE ON CANCELAMENTONFE
BEGIN
    SELECT RAISE(ABORT, 'CANCELAMENTONFE: o registro de cancelamento não pode ser excluído');
END;

CREATE TRIGGER NFEEVENTO_ASSINADO BEFORE UPDATE ON NFEEVENTO
WHEN NEW.XMLENVIO <> OLD.XMLENVIO OR NEW.NRACESSONFE <> OLD.NRACESSONFE
    OR (OLD.IDSITUACAO = 'R' AND (NEW.IDSITUACAO <> 'R' OR NEW.XMLPROCEVENTO IS NOT OLD.XMLPROCEVENTO
        OR NEW.CDSTATUS IS NOT OLD.CDSTATUS OR NEW.NRPROTOCOLO IS NOT OLD.NRPROTOCOLO))
BEGIN
    SELECT RAISE(ABORT, 'NFEEVENTO: o evento assinado e o seu registro não podem ser alterados');
END;

CREATE TRIGGER NFEEVENTO_SEM_EXCLUSAO BEFORE DELETE ON NFEEVENTO
WHEN OLD.IDSITUACAO <> 'J'
BEGIN
    SELECT RAISE(ABORT, 'NFEEVENTO: só um evento rejeitado pode ser excluído');
END;
